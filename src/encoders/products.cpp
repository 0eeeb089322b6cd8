#include "encoders/products.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <ATen/core/dispatch/Dispatcher.h>
#include <ATen/ops/cat.h>
#include <ATen/ops/linear.h>

#include "bundle/tensor_errors.hpp"

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

// oneDNN builds a kernel for every shape of product it meets and keeps it in
// a process-wide cache and in one cache per calling thread, up to 1,024
// kernels each at about 250 KB apiece. Row counts vary with every batch, so
// a long run of calls would fill them all and hold gigabytes. Products
// therefore run on a small fixed set of row counts: 512 rows at a time, then
// one block of a multiple of 128, of 32 and of 8 rows below that; the last
// few rows (fewer than 8) go to ATen. Ten shapes per weight in all.
std::int64_t block_rows(std::int64_t left) {
  constexpr std::int64_t kLargest = 512;
  if (left >= kLargest) {
    return kLargest;
  }
  for (const std::int64_t step : {std::int64_t{128}, std::int64_t{32}, kMinimumRows}) {
    if (left >= step) {
      return left / step * step;
    }
  }
  return left;
}

} // namespace

at::Tensor linear(const at::Tensor& input, const at::Tensor& weight, const at::Tensor& bias) {
  const std::int64_t rows =
      input.dim() == 0 ? 0 : input.numel() / std::max<std::int64_t>(1, input.size(-1));
  const auto* product = onednn_linear();
  const std::optional<at::Tensor> bias_or =
      bias.defined() ? std::optional<at::Tensor>(bias) : std::optional<at::Tensor>();
  if (product == nullptr || rows < kMinimumRows || input.scalar_type() != at::kFloat ||
      weight.scalar_type() != at::kFloat || weight.dim() != 2 ||
      (bias.defined() && bias.scalar_type() != at::kFloat) || input.size(-1) != weight.size(1)) {
    return at::linear(input, weight, bias_or);
  }
  const at::Tensor matrix = input.contiguous().view({rows, input.size(-1)});
  c10::List<std::optional<at::Scalar>> scalars;
  scalars.push_back(std::nullopt);
  std::vector<at::Tensor> blocks;
  for (std::int64_t start = 0; start < rows;) {
    const std::int64_t take = block_rows(rows - start);
    const at::Tensor block = matrix.narrow(0, start, take);
    blocks.push_back(with_run_description(
        [&] {
          return "matrix product of " + std::to_string(take) + " rows by a " +
                 std::to_string(weight.size(0)) + " x " + std::to_string(weight.size(1)) +
                 " weight";
        },
        [&] {
          return take < kMinimumRows
                     ? at::linear(block, weight, bias_or)
                     : product->call(block, weight, bias_or, "none", scalars, std::nullopt);
        }));
    start += take;
  }
  std::vector<std::int64_t> sizes(input.sizes().begin(), input.sizes().end());
  sizes.back() = weight.size(0);
  return (blocks.size() == 1 ? blocks.front() : at::cat(blocks, 0)).view(sizes);
}

} // namespace velmora::detail
