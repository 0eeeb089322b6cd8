// From the score tensors of one sentence to its heads and relation labels.

#include "depparse/depparse_impl.hpp"
#include "depparse/relation_constraints.hpp"
#include "depparse/tree_decoding.hpp"

namespace velmora {

std::vector<DepparsePrediction>
DepparsePlan::Impl::decode_sentence(const std::vector<DepparseWord>& words, at::Tensor& arc_scores,
                                    at::Tensor& relation_scores) const {
  if (words.empty()) {
    return {};
  }
  arc_scores = arc_scores.squeeze(0).contiguous();
  relation_scores = relation_scores.squeeze(0).contiguous();

  // Everything after the copy runs in double precision.
  const auto n = static_cast<std::size_t>(arc_scores.size(0));
  const auto arcs = arc_scores.accessor<float, 2>();
  detail::ScoreMatrix matrix(n, std::vector<double>(n));
  for (std::size_t d = 0; d < n; ++d) {
    for (std::size_t h = 0; h < n; ++h) {
      matrix[d][h] = arcs[static_cast<std::int64_t>(d)][static_cast<std::int64_t>(h)];
    }
  }
  std::vector<std::int64_t> heads = detail::decode_single_root(matrix);

  // The relation scores are read where they lie: for a long sentence they
  // are by far the largest thing the parser holds. The accessor refuses
  // another element type or dimension count.
  const auto relations = relation_scores.accessor<float, 3>();
  const detail::RelationCube cube =
      detail::RelationCube::view(relations.data(), n, static_cast<std::size_t>(relations.size(2)));
  const detail::LabeledTree tree =
      detail::decode_with_relation_constraints(deprel_labels, matrix, cube, std::move(heads));

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
