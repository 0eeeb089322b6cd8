#include "bindings.hpp"

#include <cctype>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <velmora/document.hpp>
#include <velmora/pipeline.hpp>
#include <velmora/processor.hpp>

#include "convert.hpp"
#include "document_guard.hpp"

namespace velmora::python {
namespace {

using namespace nb::literals;

using ReleaseGil = nb::call_guard<ReleasedCall>;

bool is_space(char c) {
  return std::isspace(static_cast<unsigned char>(c)) != 0;
}

// "tokenize, mwt,,pos" -> tokenize, mwt, pos. Validation is the native
// pipeline's: names are neither lower-cased nor de-duplicated here.
std::vector<std::string> split_processor_list(std::string_view text) {
  std::vector<std::string> names;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find(',', start);
    if (end == std::string_view::npos) {
      end = text.size();
    }
    std::size_t first = start;
    std::size_t last = end;
    while (first < last && is_space(text[first])) {
      ++first;
    }
    while (last > first && is_space(text[last - 1])) {
      --last;
    }
    if (first < last) {
      names.emplace_back(text.substr(first, last - first));
    }
    start = end + 1;
  }
  return names;
}

// None, one comma-separated str, or a sequence of names taken verbatim. A
// value that is none of these raises TypeError.
std::vector<std::string> processor_names(nb::handle processors) {
  if (processors.is_none()) {
    return {};
  }
  if (PyUnicode_Check(processors.ptr())) {
    return split_processor_list(convert_str(processors, "processors"));
  }
  return convert_str_list(processors, "processors");
}

struct PackageArgument {
  std::string single;
  std::optional<std::map<std::string, std::string>> per_processor;
};

constexpr const char* kPackageTypeMessage =
    "package must be a string or mapping from processor names to package names";
constexpr const char* kPackageItemsMessage =
    "package mapping processor names and package names must be strings";

std::string package_string(nb::handle value) {
  std::string text;
  if (!PyUnicode_Check(value.ptr()) || !nb::try_cast(value, text)) {
    throw nb::type_error(kPackageItemsMessage);
  }
  return text;
}

PackageArgument read_package(nb::handle package) {
  if (PyUnicode_Check(package.ptr())) {
    return {convert_str(package, "package"), std::nullopt};
  }
  nb::object mapping_type = nb::module_::import_("collections.abc").attr("Mapping");
  const int is_mapping = PyObject_IsInstance(package.ptr(), mapping_type.ptr());
  if (is_mapping < 0) {
    throw nb::python_error();
  }
  if (is_mapping == 0) {
    throw nb::type_error(kPackageTypeMessage);
  }
  nb::object items = nb::steal(PyMapping_Items(package.ptr()));
  if (!items.is_valid()) {
    PyErr_Clear();
    throw nb::type_error(kPackageItemsMessage);
  }
  std::map<std::string, std::string> packages;
  for (nb::handle item : items) {
    // items() of a user-defined mapping may yield anything.
    if (!PyTuple_Check(item.ptr()) || PyTuple_GET_SIZE(item.ptr()) != 2) {
      throw nb::type_error(kPackageItemsMessage);
    }
    // The first pair for a key wins.
    packages.emplace(package_string(PyTuple_GET_ITEM(item.ptr(), 0)),
                     package_string(PyTuple_GET_ITEM(item.ptr(), 1)));
  }
  return {std::string(), std::move(packages)};
}

void construct_pipeline(Pipeline* self, std::string lang, nb::handle processors, nb::handle package,
                        std::optional<std::filesystem::path> model_dir,
                        std::string resources_version, bool verify_model_checksums,
                        std::vector<std::string> langid_lang_subset) {
  std::vector<std::string> names = processor_names(processors);
  PackageArgument packages = read_package(package);
  if (packages.per_processor) {
    new (self) Pipeline(std::move(lang), std::move(names), std::move(*packages.per_processor),
                        std::move(model_dir), std::move(resources_version), verify_model_checksums,
                        std::move(langid_lang_subset));
  } else {
    new (self) Pipeline(std::move(lang), std::move(names), std::move(packages.single),
                        std::move(model_dir), std::move(resources_version), verify_model_checksums,
                        std::move(langid_lang_subset));
  }
}

nb::object package_value(const Pipeline& pipeline) {
  if (!pipeline.package_is_mapping()) {
    return to_str(pipeline.package());
  }
  nb::dict packages;
  for (const auto& [name, package] : pipeline.processor_packages()) {
    packages[to_str(name)] = to_str(package);
  }
  return packages;
}

// The text overloads make their own documents and run with ReleaseGil; the
// document overloads release the lock themselves, their documents marked.
Document process_text(const Pipeline& pipeline, std::string text) {
  return pipeline.process(std::move(text));
}

Document process_document(const Pipeline& pipeline, Document document) {
  return annotate(document, [&] { return pipeline.process(std::move(document)); });
}

std::vector<Document> process_texts(const Pipeline& pipeline, std::vector<std::string> texts) {
  return pipeline.process_bulk(std::move(texts));
}

std::vector<Document> process_documents(const Pipeline& pipeline, std::vector<Document> documents) {
  return annotate(documents, [&] { return pipeline.process_bulk(std::move(documents)); });
}

// Reported from the name alone, whatever models are loaded: only coref runs
// no model through this interface.
bool registry_row_implemented(const std::string& name) {
  static constexpr std::string_view kImplemented[] = {
      "tokenize", "mwt",       "pos",          "lemma",  "depparse",
      "ner",      "sentiment", "constituency", "langid", "morphseg"};
  for (std::string_view implemented : kImplemented) {
    if (name == implemented) {
      return true;
    }
  }
  return false;
}

nb::list string_list(const std::vector<std::string>& values) {
  nb::list list;
  for (const std::string& value : values) {
    list.append(to_str(value));
  }
  return list;
}

nb::dict processor_specs_dict() {
  nb::dict specs;
  for (const ProcessorSpec& spec : processor_specs()) {
    nb::dict entry;
    entry["requires"] = string_list(spec.requirements);
    entry["provides"] = string_list(spec.provides);
    entry["module"] = to_str(spec.module);
    entry["implemented"] = nb::bool_(registry_row_implemented(spec.name));
    specs[to_str(spec.name)] = std::move(entry);
  }
  return specs;
}

} // namespace

void bind_pipeline(nb::module_& m) {
  nb::class_<Pipeline>(m, "Pipeline")
      .def("__init__", &construct_pipeline, "lang"_a,
           "processors"_a.none() = "tokenize,mwt,pos,lemma,depparse",
           "package"_a.none() = "default", "model_dir"_a.none() = nb::none(),
           "resources_version"_a = "1.14.0", "verify_model_checksums"_a = false,
           "langid_lang_subset"_a = std::vector<std::string>(), nb::call_guard<ModelLoad>())
      .def_prop_ro("lang", &Pipeline::language)
      .def_prop_ro("package", &package_value)
      .def_prop_ro("model_dir", &Pipeline::model_dir)
      .def_prop_ro("resources_version", &Pipeline::resources_version)
      // Each processor object shares its native processor with the pipeline.
      .def_prop_ro("processors", [](const Pipeline& pipeline) { return pipeline.processors(); })
      .def("process", &process_text, ReleaseGil())
      .def("process", &process_document)
      .def("process", &process_texts, ReleaseGil())
      .def("process", &process_documents)
      .def("__call__", &process_text, ReleaseGil())
      .def("bulk_process", &process_texts, ReleaseGil())
      .def("bulk_process", &process_documents)
      .def("process_many", &process_texts, ReleaseGil())
      .def("process_many", &process_documents)
      .def("__call__", &process_document)
      .def("__call__", &process_texts, ReleaseGil())
      .def("__call__", &process_documents)
      .def("__repr__", [](const Pipeline& pipeline) {
        return "<Pipeline lang=" + pipeline.language() +
               " processors=" + std::to_string(pipeline.processors().size()) + ">";
      });
}

void bind_pipeline_functions(nb::module_& m) {
  m.def("processor_specs", &processor_specs_dict);
  m.def("native_version", []() { return std::string(kModuleVersion); });
}

} // namespace velmora::python
