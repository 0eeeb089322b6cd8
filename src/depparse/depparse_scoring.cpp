// Deep biaffine arc scoring over encoded positions, with the optional
// linearization and distance terms; the relation scores of a sentence's rows.

#include <algorithm>
#include <limits>

#include <ATen/TensorOperators.h>
#include <ATen/ops/abs.h>
#include <ATen/ops/arange.h>
#include <ATen/ops/bmm.h>
#include <ATen/ops/cat.h>
#include <ATen/ops/empty.h>
#include <ATen/ops/eye.h>
#include <ATen/ops/linear.h>
#include <ATen/ops/log.h>
#include <ATen/ops/log_sigmoid.h>
#include <ATen/ops/log_softmax.h>
#include <ATen/ops/logical_not.h>
#include <ATen/ops/matmul.h>
#include <ATen/ops/ones.h>
#include <ATen/ops/relu.h>
#include <ATen/ops/sign.h>
#include <ATen/ops/softplus.h>

#include "bundle/memory_budget.hpp"
#include "depparse/depparse_impl.hpp"
#include "encoders/calling_thread.hpp"
#include "encoders/products.hpp"

namespace velmora {

at::Tensor DepparsePlan::Impl::deep_biaffine(const std::string& prefix,
                                             const at::Tensor& encoded) const {
  const std::int64_t batch = encoded.size(0);
  const std::int64_t positions = encoded.size(1);
  // Both sides gain a constant feature 1 after the relu.
  const at::Tensor dependent = at::cat(
      {detail::linear(encoded, tensor(prefix + ".W1.weight"), tensor(prefix + ".W1.bias")).relu_(),
       at::ones({batch, positions, 1}, encoded.options())},
      2);
  const at::Tensor head = at::cat(
      {detail::linear(encoded, tensor(prefix + ".W2.weight"), tensor(prefix + ".W2.bias")).relu_(),
       at::ones({batch, positions, 1}, encoded.options())},
      2);
  const at::Tensor& weight = tensor(prefix + ".scorer.W_bilin.weight");
  const at::Tensor& bias = tensor(prefix + ".scorer.W_bilin.bias");
  const std::int64_t dependent_width = weight.size(0);
  const std::int64_t head_width = weight.size(1);
  const std::int64_t outputs = weight.size(2);

  // The dependent side meets the flattened weight first, then the head side
  // in one batched product; no five-axis product is formed. The batched
  // product reads the first product as [rows * outputs, head width]: either
  // the weight is laid out that way first (its size once) or every first
  // product is rearranged (rows times that of one weight row), whichever
  // moves less.
  const bool rearrange_weight = batch * positions > dependent_width;
  const at::Tensor flat_weight =
      rearrange_weight
          ? weight.permute({0, 2, 1}).contiguous().view({dependent_width, outputs * head_width})
          : weight.reshape({dependent_width, head_width * outputs});
  // Sentences go through in groups, which bounds the first product.
  constexpr std::int64_t kGroupElements = std::int64_t{1} << 24;
  const std::int64_t group = std::max<std::int64_t>(
      1, kGroupElements / std::max<std::int64_t>(1, positions * head_width * outputs));
  at::Tensor scores = at::empty({batch, positions, positions, outputs}, encoded.options());
  for (std::int64_t first = 0; first < batch; first += group) {
    const std::int64_t count = std::min(group, batch - first);
    const at::Tensor product = detail::linear(dependent.narrow(0, first, count), flat_weight.t());
    const at::Tensor partial = rearrange_weight
                                   ? product.view({count, positions * outputs, head_width})
                                   : product.view({count, positions, head_width, outputs})
                                         .permute({0, 1, 3, 2})
                                         .reshape({count, positions * outputs, head_width});
    scores.narrow(0, first, count)
        .copy_(at::bmm(partial, head.narrow(0, first, count).transpose(1, 2))
                   .view({count, positions, outputs, positions})
                   .permute({0, 1, 3, 2}));
  }
  return scores.add_(bias);
}

void DepparsePlan::Impl::require_arc_memory(std::int64_t sentences, std::int64_t positions) const {
  // Per pair of positions, 24 bytes at the peak either way. Scoring with
  // linearization holds six float matrices at once: the scores, the
  // offsets, the linearization scores, their signs, and log_sigmoid's
  // output and buffer. The tree search holds two double matrices (the
  // scores and its working copy) and, when nearly every contraction spans
  // the sentence, two 32-bit records per pair for them.
  constexpr double kBytesPerPair = 24.0;
  const double pairs = static_cast<double>(positions) * static_cast<double>(positions);
  detail::require_memory<DepparseModelError>(
      static_cast<double>(sentences) * pairs * kBytesPerPair,
      "depparse sentence of " + std::to_string(positions - 1) + " words", "arc scores");
}

// Every term is n x n per sentence, so the arithmetic runs in place on fresh
// tensors wherever it can: a very long sentence holds a few such matrices at
// once, not one per operation.
at::Tensor DepparsePlan::Impl::arc_log_probabilities(const at::Tensor& encoded,
                                                     const at::Tensor* padding_mask) const {
  require_arc_memory(encoded.size(0), encoded.size(1));
  // The scorers of a long sentence are products worth the team.
  const detail::TeamProduct team(encoded.size(0) * encoded.size(1) * encoded.size(2) *
                                 deep_biaff_hidden_dim);
  at::Tensor arcs = deep_biaffine("unlabeled", encoded).squeeze(3);

  // offset[i][j] = j - i: the head's position minus the dependent's.
  const std::int64_t positions = encoded.size(1);
  if (linearization || distance) {
    const at::Tensor index = at::arange(positions, at::TensorOptions().dtype(at::kFloat));
    const at::Tensor offset = (index.unsqueeze(0) - index.unsqueeze(1)).unsqueeze(0);
    if (linearization) {
      arcs.add_(at::log_sigmoid(
          deep_biaffine("linearization", encoded).squeeze(3).mul_(at::sign(offset))));
    }
    if (distance) {
      // miss = |offset| - (1 + softplus(score)); the arc loses log(miss^2 / 2 + 1).
      at::Tensor miss = at::softplus(deep_biaffine("distance", encoded).squeeze(3)).add_(1);
      miss.neg_().add_(at::abs(offset));
      arcs.sub_(miss.mul_(miss).div_(2).add_(1).log_());
    }
  }
  constexpr double kNegativeInfinity = -std::numeric_limits<double>::infinity();
  arcs.masked_fill_(at::eye(positions, at::TensorOptions().dtype(at::kBool)), kNegativeInfinity);
  if (padding_mask != nullptr) {
    if (padding_mask->dim() != 2 || padding_mask->size(0) != encoded.size(0) ||
        padding_mask->size(1) != positions) {
      throw DepparseModelError("depparse padding mask does not match encoded input");
    }
    arcs.masked_fill_(at::logical_not(*padding_mask).unsqueeze(1), kNegativeInfinity);
  }
  return at::log_softmax(arcs, 2);
}

detail::BiaffineRelationScores
DepparsePlan::Impl::relation_scores(const at::Tensor& encoded) const {
  return detail::BiaffineRelationScores(relation_weights, encoded);
}

} // namespace velmora
