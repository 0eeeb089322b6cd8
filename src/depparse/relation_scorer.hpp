#pragma once

// The parser's relation classifier, scoring only the arcs a decode asks
// about. Include only from .cpp files: it pulls in ATen.

#include <cstdint>
#include <vector>

#include <ATen/core/Tensor.h>

#include "depparse/relation_constraints.hpp"

namespace velmora::detail {

// The deep biaffine relation head's tensors, bound once per plan. The
// bilinear weight [dependent width + 1, head width + 1, labels] is held in two
// layouts, decided here and nowhere else: `bilinear`, a view of the bundle's
// bytes as [dependent width + 1, (head width + 1) * labels], which a
// dependent's row meets first; and `head_first`, laid out at load as
// [head width + 1, (dependent width + 1) * labels], which a head's row meets
// first. A tree's arcs share heads (a head has two dependents on average), so
// arcs go through the weight once per distinct head.
struct RelationWeights {
  at::Tensor dependent_weight, dependent_bias; // W1
  at::Tensor head_weight, head_bias;           // W2
  at::Tensor bilinear;
  at::Tensor head_first;
  at::Tensor bias;                  // [labels]
  std::int64_t dependent_width = 0; // dependent width + 1
  std::int64_t head_width = 0;      // head width + 1
  std::int64_t labels = 0;

  // `weight` is the bundle's [dependent width + 1, head width + 1, labels]
  // tensor, contiguous.
  static RelationWeights bind(at::Tensor dependent_weight, at::Tensor dependent_bias,
                              at::Tensor head_weight, at::Tensor head_bias,
                              const at::Tensor& weight, at::Tensor bias);
};

// The relation log-probabilities of one sentence. Both hidden sides, [n,
// width + 1] with the constant 1 appended, are computed once; a query takes
// only the arcs asked for through the bilinear weight. A tree of n words
// costs O(n x labels) floats instead of the whole n x n x labels cube, whose
// first product alone is as costly as scoring n arcs.
class BiaffineRelationScores final : public RelationScores {
public:
  // `encoded`: [n, D] rows of one sentence, the root first. `weights` must
  // outlive the scorer.
  BiaffineRelationScores(const RelationWeights& weights, const at::Tensor& encoded);

  // The scorers of several sentences (`encoded[s]` as above), each already
  // holding the scores of the arcs of `trees[s]` (a head for every position;
  // the root's entry is ignored), which the first query of a decode asks
  // for. Those arcs go through shared products: one sentence has too few
  // heads to keep the product from waiting on the weight's memory.
  static std::vector<BiaffineRelationScores>
  with_trees(const RelationWeights& weights, const std::vector<at::Tensor>& encoded,
             const std::vector<std::vector<std::int64_t>>& trees);

  std::size_t labels() const override { return static_cast<std::size_t>(weights_.labels); }
  std::vector<float> arc_scores(const std::vector<std::int64_t>& dependents,
                                const std::vector<std::int64_t>& heads) const override;
  std::vector<float> dependent_scores(std::int64_t dependent) const override;

private:
  BiaffineRelationScores(const RelationWeights& weights, at::Tensor dependent, at::Tensor head);

  const RelationWeights& weights_;
  at::Tensor dependent_; // [n, dependent width + 1]
  at::Tensor head_;      // [n, head width + 1]
  // The arcs computed ahead: held_heads_[d] is the head of dependent d's
  // held arc (-1: none), held_ its scores, [n, labels].
  std::vector<std::int64_t> held_heads_;
  std::vector<float> held_;
};

} // namespace velmora::detail
