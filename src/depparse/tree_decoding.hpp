#pragma once

// Maximum spanning tree decoding of dependency scores. Plain CPU work on
// double-precision matrices; no tensor library.

#include <cstdint>
#include <vector>

namespace velmora::detail {

// scores[d][h]: the score of word d taking h as its head; index 0 is the
// root, negative infinity an arc that cannot be chosen.
using ScoreMatrix = std::vector<std::vector<double>>;

// The highest-scoring tree over a square matrix (cycle-contracting search):
// heads[d] for every d, heads[0] = 0. The diagonal and row 0 never become
// arcs. Equal scores go to the lowest column. Throws DepparseModelError
// "cannot decode an empty score row" for a row without columns.
std::vector<std::int64_t> maximum_spanning_tree(ScoreMatrix scores);

// maximum_spanning_tree() after every arc from the root has been lowered by
// the same amount (the smallest finite score times the row count), which
// leaves exactly one word under the root. Throws DepparseModelError
// "dependency scores contain no finite value" for an empty matrix or one
// without a finite score, and "single-root dependency decoding did not
// produce one root" unless exactly one word ends up under the root.
std::vector<std::int64_t> decode_single_root(ScoreMatrix scores);

} // namespace velmora::detail
