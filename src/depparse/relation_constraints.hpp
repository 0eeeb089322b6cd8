#pragma once

// Relation choice with the repair of trees in which one head carries two
// subjects, two objects or two outer subjects.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "depparse/tree_decoding.hpp"

namespace velmora::detail {

// Relation scores of one sentence: n x n x labels doubles, [d][h][r] the
// score of relation r on the arc from head h to dependent d.
class RelationCube {
public:
  RelationCube(std::size_t positions, std::size_t labels)
      : positions_(positions), labels_(labels), values_(positions * positions * labels) {}

  std::size_t positions() const noexcept { return positions_; }
  std::size_t labels() const noexcept { return labels_; }
  double* arc(std::size_t dependent, std::size_t head) noexcept {
    return values_.data() + (dependent * positions_ + head) * labels_;
  }
  const double* arc(std::size_t dependent, std::size_t head) const noexcept {
    return values_.data() + (dependent * positions_ + head) * labels_;
  }

private:
  std::size_t positions_;
  std::size_t labels_;
  std::vector<double> values_;
};

// The class of a relation a head may carry only once ("obj", "subj",
// "subj_outer"), by exact comparison of the whole name; none for others.
std::optional<std::string_view> relation_class(std::string_view name);

// A decoded tree: heads[d] for every position (heads[0] = 0) and one relation
// index per word (entry i - 1 for word i); relation r names label r + 4.
struct LabeledTree {
  std::vector<std::int64_t> heads;
  std::vector<std::int64_t> relations;
};

// Gives every arc of `heads` its best relation, then, for at most five
// rounds, resolves the first head that carries two dependents of one class by
// trying one single-root tree per dependent left in place and keeping the
// best-scoring one; the arcs given up are barred from that class afterwards.
// `deprel_labels` is the label list whose entry r + 4 names relation r.
// Throws DepparseModelError "head constraints excluded every dependency
// relation", and the errors of decode_single_root().
LabeledTree decode_with_relation_constraints(const std::vector<std::string>& deprel_labels,
                                             const ScoreMatrix& arcs, const RelationCube& relations,
                                             std::vector<std::int64_t> heads);

} // namespace velmora::detail
