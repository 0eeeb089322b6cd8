#include "bindings.hpp"

#include <cstddef>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include <velmora/coref_plan.hpp>
#include <velmora/model_bundle.hpp>

#include "released_call.hpp"

namespace velmora::python {

void bind_coref_plan(nb::module_& m) {
  using namespace nb::literals;

  // Each property builds new lists, so changing one changes nothing here.
  nb::class_<CorefPrediction>(m, "CorefPrediction")
      .def_prop_ro("word_clusters",
                   [](const CorefPrediction& prediction) { return prediction.word_clusters; })
      .def_prop_ro("span_clusters",
                   [](const CorefPrediction& prediction) { return prediction.span_clusters; })
      .def_prop_ro("zero_words",
                   [](const CorefPrediction& prediction) { return prediction.zero_words; });

  nb::class_<CorefPlan>(m, "CorefPlan")
      .def(nb::init<std::filesystem::path, bool>(), "bundle_path"_a, "verify_checksums"_a = false,
           nb::call_guard<ModelLoad>())
      // The bundle lives inside the plan, which it keeps alive.
      .def_prop_ro("bundle", &CorefPlan::bundle, nb::rv_policy::reference_internal)
      .def_prop_ro("predicts_singletons", &CorefPlan::predicts_singletons)
      .def_prop_ro("predicts_zero_anaphora", &CorefPlan::predicts_zero_anaphora)
      .def("resolve", &CorefPlan::resolve, "words"_a, "sentence_ids"_a,
           "speakers"_a = std::vector<std::string>(), nb::call_guard<ReleasedCall>());
}

} // namespace velmora::python
