#include "bindings.hpp"

#include <string>
#include <utility>
#include <vector>

#include <velmora/processor.hpp>
#include <velmora/processors.hpp>

#include "document_guard.hpp"

namespace velmora::python {
namespace {

using namespace nb::literals;

using ReleaseGil = nb::call_guard<ReleasedCall>;
using LoadsModel = nb::call_guard<ModelLoad>;

std::string processor_repr(const Processor& processor) {
  return "<" + processor.name() +
         " processor implemented=" + (processor.implemented() ? "True>" : "False>");
}

// bundle_path() lives in the plan-holding template base, which has no Python
// class of its own, so each concrete class reads it through itself.
template <class T> auto bundle_path() {
  return [](const T& processor) { return processor.bundle_path(); };
}

Document process(const Processor& processor, Document document) {
  return annotate(document, [&] { return processor.process(std::move(document)); });
}

std::vector<Document> process_bulk(const Processor& processor, std::vector<Document> documents) {
  return annotate(documents, [&] { return processor.process_bulk(std::move(documents)); });
}

} // namespace

void bind_processors(nb::module_& m) {
  // Every processor object, including those a pipeline hands out, is one of
  // the concrete classes below; the base only carries the shared members.
  nb::class_<Processor>(m, "Processor")
      .def_prop_ro("name", &Processor::name)
      .def_prop_ro("requires", &Processor::requirements)
      .def_prop_ro("provides", &Processor::provides)
      .def_prop_ro("module", &Processor::module)
      .def_prop_ro("implemented", &Processor::implemented)
      .def("process", &process)
      .def("__call__", &process)
      .def("bulk_process", &process_bulk)
      .def("__repr__", &processor_repr);

  // Each class: the model-less constructor, the bundle constructor
  // (model_path, verify_checksums=False), bundle_path, then its direct model
  // methods. A bundle constructor or direct method marked "pending" below
  // goes in at its place once the native processor offers it.

  nb::class_<LangIDProcessor, Processor>(m, "LangIDProcessor")
      .def(nb::init<>())
      .def(nb::init<std::filesystem::path, bool, std::vector<std::string>>(), "model_path"_a,
           "verify_checksums"_a = false, "lang_subset"_a = std::vector<std::string>(), LoadsModel())
      .def_prop_ro("bundle_path", bundle_path<LangIDProcessor>())
      .def_prop_ro("lang_subset", &LangIDProcessor::language_subset)
      .def("identify", &LangIDProcessor::identify, ReleaseGil())
      .def("identify_many", &LangIDProcessor::identify_many, ReleaseGil());

  nb::class_<TokenizeProcessor, Processor>(m, "TokenizeProcessor")
      .def(nb::init<>())
      .def(nb::init<std::filesystem::path, bool>(), "model_path"_a, "verify_checksums"_a = false,
           LoadsModel())
      .def_prop_ro("bundle_path", bundle_path<TokenizeProcessor>())
      .def("predict_labels", &TokenizeProcessor::predict_labels, ReleaseGil());

  nb::class_<MWTProcessor, Processor>(m, "MWTProcessor")
      .def(nb::init<>())
      .def(nb::init<std::filesystem::path, bool>(), "model_path"_a, "verify_checksums"_a = false,
           LoadsModel())
      .def_prop_ro("bundle_path", bundle_path<MWTProcessor>())
      .def("expand", &MWTProcessor::expand, ReleaseGil());

  nb::class_<POSProcessor, Processor>(m, "POSProcessor")
      .def(nb::init<>())
      .def(nb::init<std::filesystem::path, bool>(), "model_path"_a, "verify_checksums"_a = false,
           LoadsModel())
      .def_prop_ro("bundle_path", bundle_path<POSProcessor>());

  nb::class_<LemmaProcessor, Processor>(m, "LemmaProcessor")
      .def(nb::init<>())
      .def(nb::init<std::filesystem::path, bool>(), "model_path"_a, "verify_checksums"_a = false,
           LoadsModel())
      .def_prop_ro("bundle_path", bundle_path<LemmaProcessor>())
      .def("lemmatize", &LemmaProcessor::lemmatize, "word"_a, "pos"_a = nb::none(), ReleaseGil());

  nb::class_<DepparseProcessor, Processor>(m, "DepparseProcessor")
      .def(nb::init<>())
      .def(nb::init<std::filesystem::path, bool>(), "model_path"_a, "verify_checksums"_a = false,
           LoadsModel())
      .def_prop_ro("bundle_path", bundle_path<DepparseProcessor>());

  nb::class_<NERProcessor, Processor>(m, "NERProcessor")
      .def(nb::init<>())
      .def(nb::init<std::filesystem::path, bool>(), "model_path"_a, "verify_checksums"_a = false,
           LoadsModel())
      .def_prop_ro("bundle_path", bundle_path<NERProcessor>())
      .def("tag", &NERProcessor::tag, "tokens"_a, ReleaseGil());

  nb::class_<SentimentProcessor, Processor>(m, "SentimentProcessor")
      .def(nb::init<>())
      .def(nb::init<std::filesystem::path, bool>(), "model_path"_a, "verify_checksums"_a = false,
           LoadsModel())
      .def_prop_ro("bundle_path", bundle_path<SentimentProcessor>())
      .def("classify", &SentimentProcessor::classify, "tokens"_a, ReleaseGil())
      .def("classify_many", &SentimentProcessor::classify_many, "sentences"_a,
           "batch_size"_a = 5000, ReleaseGil());

  nb::class_<ConstituencyProcessor, Processor>(m, "ConstituencyProcessor")
      .def(nb::init<>())
      .def(nb::init<std::filesystem::path, bool>(), "model_path"_a, "verify_checksums"_a = false,
           LoadsModel())
      .def_prop_ro("bundle_path", bundle_path<ConstituencyProcessor>())
      .def_prop_ro("uses_xpos", &ConstituencyProcessor::uses_xpos)
      .def("parse", &ConstituencyProcessor::parse, "words"_a, "tags"_a, ReleaseGil())
      .def("parse_many", &ConstituencyProcessor::parse_many, "sentences"_a, "tags"_a, ReleaseGil());

  nb::class_<CorefProcessor, Processor>(m, "CorefProcessor")
      .def(nb::init<>())
      .def(nb::init<std::filesystem::path, bool>(), "model_path"_a, "verify_checksums"_a = false,
           LoadsModel())
      .def_prop_ro("bundle_path", bundle_path<CorefProcessor>())
      .def_prop_ro("predicts_singletons", &CorefProcessor::predicts_singletons)
      .def_prop_ro("predicts_zero_anaphora", &CorefProcessor::predicts_zero_anaphora);

  nb::class_<MorphSegProcessor, Processor>(m, "MorphSegProcessor")
      .def(nb::init<>())
      .def(nb::init<std::filesystem::path, bool>(), "model_path"_a, "verify_checksums"_a = false,
           LoadsModel())
      .def_prop_ro("bundle_path", bundle_path<MorphSegProcessor>())
      .def("segment", &MorphSegProcessor::segment, "word"_a, ReleaseGil())
      .def("segment_many", &MorphSegProcessor::segment_many, "words"_a, ReleaseGil());
}

} // namespace velmora::python
