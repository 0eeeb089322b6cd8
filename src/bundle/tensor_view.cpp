#include "bundle/tensor_view.hpp"

#include <stdexcept>
#include <string>

#include <ATen/ops/from_blob.h>
#include <c10/util/ArrayRef.h>

#include "bundle/bundle_checks.hpp"

namespace velmora::detail {

std::optional<c10::ScalarType> bundle_scalar_type(std::string_view dtype) {
  if (dtype == "float32") {
    return c10::ScalarType::Float;
  }
  if (dtype == "int64") {
    return c10::ScalarType::Long;
  }
  if (dtype == "float64") {
    return c10::ScalarType::Double;
  }
  if (dtype == "float16") {
    return c10::ScalarType::Half;
  }
  if (dtype == "bfloat16") {
    return c10::ScalarType::BFloat16;
  }
  if (dtype == "int32") {
    return c10::ScalarType::Int;
  }
  if (dtype == "int16") {
    return c10::ScalarType::Short;
  }
  if (dtype == "int8") {
    return c10::ScalarType::Char;
  }
  if (dtype == "uint8") {
    return c10::ScalarType::Byte;
  }
  if (dtype == "bool") {
    return c10::ScalarType::Bool;
  }
  return std::nullopt;
}

at::Tensor bundle_tensor_view(const ModelBundle& bundle, const TensorDescriptor& tensor,
                              c10::ScalarType type) {
  // Shape and bytes come from the bundle's own record of the name, so a
  // descriptor copied from another bundle cannot make the view reach past
  // this mapping.
  const TensorDescriptor& own = bundle.tensor(tensor.name);
  const std::optional<std::uint64_t> stored_size = bundle_dtype_size(own.dtype);
  if (!stored_size || *stored_size != c10::elementSize(type)) {
    throw std::logic_error("bundle tensor '" + own.name + "' of dtype " + own.dtype +
                           " cannot be viewed as " + std::string(c10::toString(type)));
  }
  // from_blob wants a mutable pointer; the bytes stay read-only all the same.
  void* data = const_cast<std::byte*>(bundle.tensor_data(own.name));
  return at::from_blob(
      data, c10::IntArrayRef(own.shape.data(), own.shape.size()), [](void*) {},
      at::TensorOptions().dtype(type).device(c10::kCPU));
}

} // namespace velmora::detail
