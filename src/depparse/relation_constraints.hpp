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

// The relation scores of one sentence's arcs, handed out on request: a
// decode reads one arc per word and, for a repair, every arc into the few
// words it moves, never all n x n arcs, so an implementation need not hold
// the n x n x labels scores at once. Values are log-probabilities (any
// floats for crafted scores); readers widen each to double.
class RelationScores {
public:
  virtual ~RelationScores() = default;
  virtual std::size_t labels() const = 0;
  // [count, labels] row-major: the scores of the arcs from heads[i] to
  // dependents[i]; both lists have the same length.
  virtual std::vector<float> arc_scores(const std::vector<std::int64_t>& dependents,
                                        const std::vector<std::int64_t>& heads) const = 0;
  // [positions, labels] row-major: the scores of every arc into
  // `dependent`, row h for head h.
  virtual std::vector<float> dependent_scores(std::int64_t dependent) const = 0;
};

// Scores that are all present at once: n x n x labels floats, [d][h][r] the
// score of relation r on the arc from head h to dependent d.
class RelationCube final : public RelationScores {
public:
  RelationCube() = default;
  RelationCube(std::size_t positions, std::size_t labels)
      : positions_(positions), labels_(labels), values_(positions * positions * labels) {}

  std::size_t positions() const noexcept { return positions_; }
  std::size_t labels() const override { return labels_; }
  float* arc(std::size_t dependent, std::size_t head) noexcept {
    return values_.data() + (dependent * positions_ + head) * labels_;
  }
  const float* arc(std::size_t dependent, std::size_t head) const noexcept {
    return values_.data() + (dependent * positions_ + head) * labels_;
  }
  std::vector<float> arc_scores(const std::vector<std::int64_t>& dependents,
                                const std::vector<std::int64_t>& heads) const override;
  std::vector<float> dependent_scores(std::int64_t dependent) const override;

private:
  std::size_t positions_ = 0;
  std::size_t labels_ = 0;
  std::vector<float> values_;
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
// Reads the relation scores of the arcs of each tree it weighs and of every
// arc into the dependents a repair moves, nothing else. Throws
// DepparseModelError "head constraints excluded every dependency
// relation", and the errors of decode_single_root().
LabeledTree decode_with_relation_constraints(const std::vector<std::string>& deprel_labels,
                                             const ScoreMatrix& arcs,
                                             const RelationScores& relations,
                                             std::vector<std::int64_t> heads);

} // namespace velmora::detail
