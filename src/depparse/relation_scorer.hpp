#pragma once

// The parser's relation classifier, scoring only the arcs a decode asks
// about. Include only from .cpp files: it pulls in ATen.

#include <cstdint>
#include <vector>

#include <ATen/core/Tensor.h>

#include "depparse/relation_constraints.hpp"

namespace velmora::detail {

// The deep biaffine relation head's tensors, bound once per plan. `bilinear`
// is the weight [dependent width + 1, head width + 1, labels] seen as
// [dependent width + 1, (head width + 1) * labels], the layout the products
// read; how it is laid out for them is decided here and nowhere else.
struct RelationWeights {
  at::Tensor dependent_weight, dependent_bias; // W1
  at::Tensor head_weight, head_bias;           // W2
  at::Tensor bilinear;
  at::Tensor bias;             // [labels]
  std::int64_t head_width = 0; // head width + 1
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

  std::size_t labels() const override { return static_cast<std::size_t>(weights_.labels); }
  std::vector<float> arc_scores(const std::vector<std::int64_t>& dependents,
                                const std::vector<std::int64_t>& heads) const override;
  std::vector<float> dependent_scores(std::int64_t dependent) const override;

private:
  const RelationWeights& weights_;
  at::Tensor dependent_; // [n, dependent width + 1]
  at::Tensor head_;      // [n, head width + 1]
};

} // namespace velmora::detail
