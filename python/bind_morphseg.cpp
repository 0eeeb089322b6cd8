#include "bindings.hpp"

#include <filesystem>

#include <velmora/model_bundle.hpp>
#include <velmora/morphseg.hpp>

#include "released_call.hpp"

namespace velmora::python {

void bind_morphseg(nb::module_& m) {
  using namespace nb::literals;

  // Documents reach the plan through MorphSegProcessor, so process and
  // process_bulk are not bound here.
  nb::class_<MorphSegPlan>(m, "MorphSegPlan")
      .def(nb::init<std::filesystem::path, bool>(), "bundle_path"_a, "verify_checksums"_a = false,
           nb::call_guard<ModelLoad>())
      // The bundle lives inside the plan, which it keeps alive.
      .def_prop_ro("bundle", &MorphSegPlan::bundle, nb::rv_policy::reference_internal)
      .def("segment", &MorphSegPlan::segment, "word"_a, nb::call_guard<ReleasedCall>())
      .def("segment_many", &MorphSegPlan::segment_many, "words"_a, nb::call_guard<ReleasedCall>());
}

} // namespace velmora::python
