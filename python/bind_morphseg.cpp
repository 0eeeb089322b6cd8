#include "bindings.hpp"

#include <filesystem>

#include <velmora/model_bundle.hpp>
#include <velmora/morphseg.hpp>

namespace velmora::python {

void bind_morphseg(nb::module_& m) {
  using namespace nb::literals;

  // Documents reach the plan through MorphSegProcessor, so process and
  // process_bulk are not bound here.
  nb::class_<MorphSegPlan>(m, "MorphSegPlan")
      .def(nb::init<std::filesystem::path, bool>(), "bundle_path"_a, "verify_checksums"_a = false)
      // The bundle lives inside the plan, which it keeps alive.
      .def_prop_ro("bundle", &MorphSegPlan::bundle, nb::rv_policy::reference_internal)
      .def("segment", &MorphSegPlan::segment, "word"_a, nb::call_guard<nb::gil_scoped_release>())
      .def("segment_many", &MorphSegPlan::segment_many, "words"_a,
           nb::call_guard<nb::gil_scoped_release>());
}

} // namespace velmora::python
