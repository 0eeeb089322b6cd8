#include <functional>
#include <stdexcept>

#include <velmora/processors.hpp>

namespace velmora {

namespace {

struct RegistryRow {
  const char* name;
  std::vector<std::string> requirements;
  const char* module;
  std::function<std::shared_ptr<Processor>()> make;
};

template <class T> std::shared_ptr<Processor> create() {
  return std::make_shared<T>();
}

const std::vector<RegistryRow>& registry() {
  static const std::vector<RegistryRow> rows = {
      {"langid", {}, "extended", create<LangIDProcessor>},
      {"tokenize", {}, "ud", create<TokenizeProcessor>},
      {"mwt", {"tokenize"}, "ud", create<MWTProcessor>},
      {"pos", {"tokenize"}, "ud", create<POSProcessor>},
      {"lemma", {"tokenize"}, "ud", create<LemmaProcessor>},
      {"depparse", {"tokenize", "pos", "lemma"}, "ud", create<DepparseProcessor>},
      {"ner", {"tokenize"}, "extended", create<NERProcessor>},
      {"sentiment", {"tokenize"}, "extended", create<SentimentProcessor>},
      {"constituency", {"tokenize", "pos"}, "extended", create<ConstituencyProcessor>},
      {"coref", {"tokenize"}, "coref", create<CorefProcessor>},
      {"morphseg", {"tokenize"}, "extended", create<MorphSegProcessor>},
  };
  return rows;
}

const RegistryRow* find_row(const std::string& name) {
  for (const RegistryRow& row : registry()) {
    if (name == row.name) {
      return &row;
    }
  }
  return nullptr;
}

} // namespace

namespace detail {

ProcessorSpec registry_spec(const std::string& name) {
  const RegistryRow* row = find_row(name);
  if (row == nullptr) {
    throw std::logic_error("processor class without a registry row: " + name);
  }
  return make_processor_spec(row->name, row->requirements, row->module);
}

bool is_registered_processor(const std::string& name) {
  return find_row(name) != nullptr;
}

} // namespace detail

std::vector<ProcessorSpec> processor_specs() {
  std::vector<ProcessorSpec> specs;
  specs.reserve(registry().size());
  for (const RegistryRow& row : registry()) {
    specs.push_back(make_processor_spec(row.name, row.requirements, row.module));
  }
  return specs;
}

std::shared_ptr<Processor> make_processor(const std::string& name) {
  const RegistryRow* row = find_row(name);
  if (row == nullptr) {
    throw std::invalid_argument("unknown processor: '" + name + "'");
  }
  return row->make();
}

} // namespace velmora
