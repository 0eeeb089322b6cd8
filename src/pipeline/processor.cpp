#include <velmora/processor.hpp>

namespace velmora {

ProcessorSpec make_processor_spec(std::string name, std::vector<std::string> requirements,
                                  std::string module) {
  std::vector<std::string> provides{name};
  return ProcessorSpec{std::move(name), std::move(requirements), std::move(provides),
                       std::move(module)};
}

Processor::Processor(ProcessorSpec spec) : spec_(std::move(spec)) {}

Processor::~Processor() = default;

void Processor::set_requirements(std::vector<std::string> requirements) {
  spec_.requirements = std::move(requirements);
}

bool Processor::implemented() const {
  return false;
}

Document Processor::process(Document document) const {
  (void)document;
  throw ProcessorNotImplementedError("the '" + spec_.name +
                                     "' processor is registered but native inference is not "
                                     "implemented");
}

std::vector<Document> Processor::process_bulk(std::vector<Document> documents) const {
  for (Document& document : documents) {
    document = process(std::move(document));
  }
  return documents;
}

Document Processor::process_in_call(Document document, detail::PipelineCall& call) const {
  (void)call;
  return process(std::move(document));
}

std::vector<Document> Processor::process_bulk_in_call(std::vector<Document> documents,
                                                      detail::PipelineCall& call) const {
  (void)call;
  return process_bulk(std::move(documents));
}

} // namespace velmora
