#include "depparse/relation_scorer.hpp"

#include <algorithm>
#include <stdexcept>

#include <ATen/TensorOperators.h>
#include <ATen/ops/bmm.h>
#include <ATen/ops/cat.h>
#include <ATen/ops/from_blob.h>
#include <ATen/ops/index_select.h>
#include <ATen/ops/linear.h>
#include <ATen/ops/log_softmax.h>
#include <ATen/ops/matmul.h>
#include <ATen/ops/ones.h>
#include <ATen/ops/relu.h>

namespace velmora::detail {
namespace {

// A hidden side: relu(linear) with a constant 1 appended to every row.
at::Tensor hidden_side(const at::Tensor& rows, const at::Tensor& weight, const at::Tensor& bias) {
  return at::cat(
      {at::relu(at::linear(rows, weight, bias)), at::ones({rows.size(0), 1}, rows.options())}, 1);
}

std::vector<float> to_floats(const at::Tensor& scores) {
  const at::Tensor values = scores.to(at::kFloat).contiguous();
  const float* first = values.data_ptr<float>();
  return std::vector<float>(first, first + values.numel());
}

at::Tensor index_tensor(const std::vector<std::int64_t>& indexes, std::size_t first,
                        std::size_t count) {
  // Copied, so the caller's list may go away before the product runs.
  return at::from_blob(const_cast<std::int64_t*>(indexes.data() + first),
                       {static_cast<std::int64_t>(count)}, at::kLong)
      .clone();
}

} // namespace

RelationWeights RelationWeights::bind(at::Tensor dependent_weight, at::Tensor dependent_bias,
                                      at::Tensor head_weight, at::Tensor head_bias,
                                      const at::Tensor& weight, at::Tensor bias) {
  RelationWeights weights;
  weights.dependent_weight = std::move(dependent_weight);
  weights.dependent_bias = std::move(dependent_bias);
  weights.head_weight = std::move(head_weight);
  weights.head_bias = std::move(head_bias);
  weights.head_width = weight.size(1);
  weights.labels = weight.size(2);
  // A view of the bundle's bytes: the weight is contiguous.
  weights.bilinear = weight.view({weight.size(0), weights.head_width * weights.labels});
  weights.bias = std::move(bias);
  return weights;
}

BiaffineRelationScores::BiaffineRelationScores(const RelationWeights& weights,
                                               const at::Tensor& encoded)
    : weights_(weights),
      dependent_(hidden_side(encoded, weights.dependent_weight, weights.dependent_bias)),
      head_(hidden_side(encoded, weights.head_weight, weights.head_bias)) {}

std::vector<float>
BiaffineRelationScores::arc_scores(const std::vector<std::int64_t>& dependents,
                                   const std::vector<std::int64_t>& heads) const {
  if (dependents.size() != heads.size()) {
    throw std::logic_error("relation arcs need one head per dependent");
  }
  // Each arc's first product is a [head width + 1, labels] matrix; arcs go
  // through in blocks so that those stay small.
  constexpr std::int64_t kBlockElements = std::int64_t{1} << 22;
  const auto block = static_cast<std::size_t>(
      std::max<std::int64_t>(1, kBlockElements / (weights_.head_width * weights_.labels)));
  std::vector<float> scores;
  scores.reserve(dependents.size() * labels());
  for (std::size_t first = 0; first < dependents.size(); first += block) {
    const std::size_t count = std::min(block, dependents.size() - first);
    const auto rows = static_cast<std::int64_t>(count);
    const at::Tensor product =
        at::matmul(dependent_.index_select(0, index_tensor(dependents, first, count)),
                   weights_.bilinear)
            .view({rows, weights_.head_width, weights_.labels});
    const at::Tensor head_rows = head_.index_select(0, index_tensor(heads, first, count));
    const at::Tensor logits = at::bmm(head_rows.unsqueeze(1), product).squeeze(1) + weights_.bias;
    const std::vector<float> values = to_floats(at::log_softmax(logits, 1));
    scores.insert(scores.end(), values.begin(), values.end());
  }
  return scores;
}

std::vector<float> BiaffineRelationScores::dependent_scores(std::int64_t dependent) const {
  const at::Tensor product = at::matmul(dependent_.narrow(0, dependent, 1), weights_.bilinear)
                                 .view({weights_.head_width, weights_.labels});
  return to_floats(at::log_softmax(at::matmul(head_, product) + weights_.bias, 1));
}

} // namespace velmora::detail
