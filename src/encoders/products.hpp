#pragma once

// The large float32 matrix products of the taggers and parsers. ATen's
// linear and matmul call the BLAS library, which on some CPUs takes a
// narrower vector path than the CPU offers; the oneDNN matrix product that
// ships in the same libtorch runs full-width there (about twice the speed on
// this project's machines at one thread). Both compute in float32 with
// float32 accumulation; only the order of the partial sums differs. Include
// only from .cpp files: it pulls in ATen.

#include <ATen/core/Tensor.h>

namespace velmora::detail {

// at::linear(input, weight, bias): `input` [..., K], `weight` [N, K] (any
// strides), `bias` [N] or undefined. Float32 products of enough rows run
// through oneDNN; everything else (other types, a few rows) through ATen.
at::Tensor linear(const at::Tensor& input, const at::Tensor& weight,
                  const at::Tensor& bias = at::Tensor());

} // namespace velmora::detail
