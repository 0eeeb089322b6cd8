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

// Relation scores of one sentence: n x n x labels floats, [d][h][r] the
// score of relation r on the arc from head h to dependent d. Either owns its
// values or views a caller's contiguous buffer, so that a long sentence's
// cube, the largest thing the parser holds, exists only once. Readers widen
// each value to double.
class RelationCube {
public:
  RelationCube() = default;
  RelationCube(std::size_t positions, std::size_t labels)
      : positions_(positions), labels_(labels), owned_(positions * positions * labels) {
    data_ = owned_.data();
  }
  // Views `data`, which must outlive the cube.
  static RelationCube view(const float* data, std::size_t positions, std::size_t labels) {
    RelationCube cube;
    cube.positions_ = positions;
    cube.labels_ = labels;
    cube.data_ = data;
    return cube;
  }
  RelationCube(RelationCube&& other) noexcept = default;
  RelationCube& operator=(RelationCube&& other) noexcept = default;
  RelationCube(const RelationCube&) = delete;
  RelationCube& operator=(const RelationCube&) = delete;

  std::size_t positions() const noexcept { return positions_; }
  std::size_t labels() const noexcept { return labels_; }
  // Writable only when the cube owns its values.
  float* arc(std::size_t dependent, std::size_t head) noexcept {
    return owned_.data() + (dependent * positions_ + head) * labels_;
  }
  const float* arc(std::size_t dependent, std::size_t head) const noexcept {
    return data_ + (dependent * positions_ + head) * labels_;
  }

private:
  std::size_t positions_ = 0;
  std::size_t labels_ = 0;
  std::vector<float> owned_;
  const float* data_ = nullptr;
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
