#include "bindings.hpp"

#include <filesystem>
#include <string>

#include <velmora/model_bundle.hpp>

namespace velmora::python {

void bind_bundle(nb::module_& m) {
  using namespace nb::literals;

  nb::class_<TensorDescriptor>(m, "TensorDescriptor")
      .def_ro("name", &TensorDescriptor::name)
      .def_ro("dtype", &TensorDescriptor::dtype)
      .def_ro("shape", &TensorDescriptor::shape)
      .def_ro("offset", &TensorDescriptor::offset)
      .def_ro("nbytes", &TensorDescriptor::nbytes)
      .def_ro("sha256", &TensorDescriptor::sha256);

  nb::class_<ModelBundle>(m, "ModelBundle")
      .def(nb::init<std::filesystem::path, bool>(), "path"_a, "verify_checksums"_a = true)
      .def_prop_ro("path", &ModelBundle::path)
      .def_prop_ro("language", &ModelBundle::language)
      .def_prop_ro("processor", &ModelBundle::processor)
      .def_prop_ro("package", &ModelBundle::package)
      .def_prop_ro("tavrel_version", &ModelBundle::tavrel_version)
      .def_prop_ro("resources_version", &ModelBundle::resources_version)
      .def_prop_ro("checksums_verified", &ModelBundle::checksums_verified)
      .def_prop_ro("tensor_file_size", &ModelBundle::tensor_file_size)
      .def_prop_ro("tensor_names", &ModelBundle::tensor_names)
      // The descriptor lives inside the bundle, which it keeps alive.
      .def(
          "tensor",
          [](const ModelBundle& bundle, const std::string& name) -> const TensorDescriptor& {
            return bundle.tensor(name);
          },
          nb::rv_policy::reference_internal);
}

} // namespace velmora::python
