#include "encoders/products.hpp"

#include <optional>
#include <string_view>

#include <ATen/core/dispatch/Dispatcher.h>
#include <ATen/ops/linear.h>

namespace velmora::detail {
namespace {

// Below this many rows the BLAS call is as fast (at one row faster).
constexpr std::int64_t kMinimumRows = 8;

using PointwiseLinear = at::Tensor(const at::Tensor&, const at::Tensor&,
                                   const std::optional<at::Tensor>&, std::string_view,
                                   c10::List<std::optional<at::Scalar>>,
                                   std::optional<std::string_view>);

// The oneDNN product as libtorch registers it; null in a build without it.
const c10::TypedOperatorHandle<PointwiseLinear>* onednn_linear() {
  static const std::optional<c10::TypedOperatorHandle<PointwiseLinear>> handle =
      []() -> std::optional<c10::TypedOperatorHandle<PointwiseLinear>> {
    const auto found = c10::Dispatcher::singleton().findSchema({"mkldnn::_linear_pointwise", ""});
    if (!found) {
      return std::nullopt;
    }
    return found->typed<PointwiseLinear>();
  }();
  return handle ? &*handle : nullptr;
}

} // namespace

at::Tensor linear(const at::Tensor& input, const at::Tensor& weight, const at::Tensor& bias) {
  const std::int64_t rows =
      input.dim() == 0 ? 0 : input.numel() / std::max<std::int64_t>(1, input.size(-1));
  const auto* product = onednn_linear();
  if (product == nullptr || rows < kMinimumRows || input.scalar_type() != at::kFloat ||
      weight.scalar_type() != at::kFloat || weight.dim() != 2 ||
      (bias.defined() && bias.scalar_type() != at::kFloat) || input.size(-1) != weight.size(1)) {
    return at::linear(input, weight,
                      bias.defined() ? std::optional<at::Tensor>(bias)
                                     : std::optional<at::Tensor>());
  }
  c10::List<std::optional<at::Scalar>> scalars;
  scalars.push_back(std::nullopt);
  return product->call(input.contiguous(), weight,
                       bias.defined() ? std::optional<at::Tensor>(bias) : std::nullopt, "none",
                       scalars, std::nullopt);
}

} // namespace velmora::detail
