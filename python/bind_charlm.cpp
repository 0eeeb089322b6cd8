#include "bindings.hpp"

#include <filesystem>

#include <velmora/charlm.hpp>
#include <velmora/model_bundle.hpp>

#include "released_call.hpp"

namespace velmora::python {

void bind_charlm(nb::module_& m) {
  using namespace nb::literals;

  nb::class_<CharLMPlan>(m, "CharLMPlan")
      .def(nb::init<std::filesystem::path, bool>(), "bundle_path"_a, "verify_checksums"_a = false,
           nb::call_guard<ModelLoad>())
      // The bundle lives inside the plan, which it keeps alive.
      .def_prop_ro("bundle", &CharLMPlan::bundle, nb::rv_policy::reference_internal)
      .def_prop_ro("is_forward", &CharLMPlan::is_forward)
      .def_prop_ro("hidden_size", &CharLMPlan::hidden_size)
      .def("encode", &CharLMPlan::encode, "words"_a, nb::call_guard<ReleasedCall>());
}

} // namespace velmora::python
