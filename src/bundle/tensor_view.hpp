#pragma once

// Binding bundle tensors as ATen tensors. Include only from .cpp files: it
// pulls in ATen.

#include <optional>
#include <string_view>

#include <ATen/core/Tensor.h>
#include <c10/core/ScalarType.h>

#include <velmora/model_bundle.hpp>

namespace velmora::detail {

// The element type of a bundle dtype name in the common table shared by the
// plans: uint8 int8 int16 int32 int64 float16 bfloat16 float32 float64 bool.
// Any other name (uint16, complex64, "float", ...) gives nullopt, so each
// plan raises its own error ("ATen view does not support ..."). Plans with a
// narrower table check their own names before calling this.
std::optional<c10::ScalarType> bundle_scalar_type(std::string_view dtype);

// A contiguous CPU tensor over the bytes of the bundle's tensor named
// `tensor.name`, with that tensor's manifest shape and element type `type`.
// Nothing is copied and nothing is freed when the tensor dies, so the bundle
// must outlive the view (plans keep a shared pointer to it).
//
// The memory is a READ-ONLY mapping: never run an in-place operation
// (add_, copy_, index_put_, out= into it, ...) on the result or on any view
// of it; the process would die with SIGSEGV. Derive new tensors instead.
//
// `type` must have the element size of the tensor's dtype (true for every
// result of bundle_scalar_type); otherwise std::logic_error is thrown, since
// the view would reach past the tensor's bytes. A name the bundle lacks throws
// ModelBundleError.
at::Tensor bundle_tensor_view(const ModelBundle& bundle, const TensorDescriptor& tensor,
                              c10::ScalarType type);

} // namespace velmora::detail
