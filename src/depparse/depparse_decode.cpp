// From the score tensors of one sentence to its heads and relation labels.

#include "depparse/depparse_impl.hpp"
#include "depparse/relation_constraints.hpp"
#include "depparse/tree_decoding.hpp"

namespace velmora {

detail::ScoreMatrix DepparsePlan::Impl::arc_score_matrix(at::Tensor& arc_scores) {
  // Everything after the copy runs in double precision; the float scores go
  // as soon as they are read, since for a long sentence they are large.
  const at::Tensor arc_matrix = arc_scores.squeeze(0).contiguous();
  arc_scores = at::Tensor();
  const auto arcs = arc_matrix.accessor<float, 2>();
  const auto n = static_cast<std::size_t>(arc_matrix.size(0));
  detail::ScoreMatrix matrix(n, std::vector<double>(n));
  for (std::size_t d = 0; d < n; ++d) {
    for (std::size_t h = 0; h < n; ++h) {
      matrix[d][h] = arcs[static_cast<std::int64_t>(d)][static_cast<std::int64_t>(h)];
    }
  }
  return matrix;
}

std::vector<DepparsePrediction>
DepparsePlan::Impl::decode_sentence(const std::vector<DepparseWord>& words, at::Tensor& arc_scores,
                                    const detail::RelationScores& relations) const {
  if (words.empty()) {
    return {};
  }
  const detail::ScoreMatrix matrix = arc_score_matrix(arc_scores);
  return label_tree(words, matrix, relations, detail::decode_single_root(matrix));
}

std::vector<DepparsePrediction> DepparsePlan::Impl::label_tree(
    const std::vector<DepparseWord>& words, const detail::ScoreMatrix& arcs,
    const detail::RelationScores& relations, std::vector<std::int64_t> heads) const {
  const std::size_t n = arcs.size();
  const detail::LabeledTree tree =
      detail::decode_with_relation_constraints(deprel_labels, arcs, relations, std::move(heads));

  std::vector<DepparsePrediction> predictions;
  predictions.reserve(words.size());
  for (std::size_t i = 1; i < n; ++i) {
    const std::int64_t label = tree.relations[i - 1] + 4;
    if (label < 0 || label >= static_cast<std::int64_t>(deprel_labels.size())) {
      throw DepparseModelError("deprel classifier produced an invalid id");
    }
    predictions.push_back(
        {static_cast<std::int32_t>(tree.heads[i]), deprel_labels[static_cast<std::size_t>(label)]});
  }
  return predictions;
}

} // namespace velmora
