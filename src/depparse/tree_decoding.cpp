// Chu-Liu-Edmonds maximum spanning tree search and the single-root decode.

#include "depparse/tree_decoding.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <stdexcept>

#include <velmora/errors.hpp>

namespace velmora::detail {
namespace {

constexpr double kNegativeInfinity = -std::numeric_limits<double>::infinity();

// A set of node indexes as 64-bit words.
class NodeSet {
public:
  explicit NodeSet(std::size_t size) : words_((size + 63) / 64, 0) {}
  void insert(std::size_t node) { words_[node / 64] |= std::uint64_t{1} << (node % 64); }
  void erase(std::size_t node) { words_[node / 64] &= ~(std::uint64_t{1} << (node % 64)); }
  bool contains(std::size_t node) const { return (words_[node / 64] >> (node % 64)) & 1U; }

private:
  std::vector<std::uint64_t> words_;
};

// The last cycle of the head graph (edges heads[d] -> d) to complete as a
// strongly connected component of at least two nodes, or nothing when the
// graph has none. Tarjan's search, iterative so that long chains cannot
// exhaust the call stack.
std::optional<NodeSet> last_cycle(const std::vector<std::int64_t>& heads) {
  const std::size_t n = heads.size();
  // Dependents of each node, in increasing order, as one flat list.
  std::vector<std::size_t> first_dependent(n + 1, 0);
  for (std::size_t d = 0; d < n; ++d) {
    ++first_dependent[static_cast<std::size_t>(heads[d]) + 1];
  }
  for (std::size_t node = 0; node < n; ++node) {
    first_dependent[node + 1] += first_dependent[node];
  }
  std::vector<std::size_t> dependents(n);
  {
    std::vector<std::size_t> fill(first_dependent.begin(), first_dependent.end() - 1);
    for (std::size_t d = 0; d < n; ++d) {
      dependents[fill[static_cast<std::size_t>(heads[d])]++] = d;
    }
  }
  std::vector<std::int64_t> discovery(n, -1);
  std::vector<std::int64_t> low(n, -1);
  NodeSet on_stack(n);
  std::vector<std::size_t> stack;
  std::optional<NodeSet> cycle;
  std::int64_t counter = 0;

  struct Frame {
    std::size_t node;
    std::size_t next; // position in the flat dependent list
    bool visited;
  };
  std::vector<Frame> frames;
  for (std::size_t start = 0; start < n; ++start) {
    if (discovery[start] != -1) {
      continue;
    }
    frames.push_back({start, first_dependent[start], false});
    while (!frames.empty()) {
      Frame& frame = frames.back();
      const std::size_t node = frame.node;
      if (!frame.visited) {
        frame.visited = true;
        discovery[node] = low[node] = counter++;
        stack.push_back(node);
        on_stack.insert(node);
      }
      if (frame.next < first_dependent[node + 1]) {
        const std::size_t dependent = dependents[frame.next++];
        if (discovery[dependent] == -1) {
          frames.push_back({dependent, first_dependent[dependent], false});
        } else if (on_stack.contains(dependent)) {
          low[node] = std::min(low[node], discovery[dependent]);
        }
        continue;
      }
      if (low[node] == discovery[node]) {
        // Most components are single nodes: only a cycle gets a set.
        std::size_t member = stack.back();
        if (member == node) {
          stack.pop_back();
          on_stack.erase(member);
        } else {
          NodeSet component(n);
          do {
            member = stack.back();
            stack.pop_back();
            on_stack.erase(member);
            component.insert(member);
          } while (member != node);
          cycle = std::move(component);
        }
      }
      frames.pop_back();
      if (!frames.empty()) {
        const std::size_t parent = frames.back().node;
        low[parent] = std::min(low[parent], low[node]);
      }
    }
  }
  return cycle;
}

// What one contraction needs to expand the answer of the level below it into
// its own level's, whose nodes are numbered 0 .. size - 1.
struct Contraction {
  std::size_t size = 0;
  std::vector<std::size_t> inside;        // the cycle's nodes, ascending
  std::vector<std::int64_t> inside_heads; // their greedy heads
  // Per node outside the cycle, in ascending order: the cycle node it would
  // enter at and the one it would hang from.
  std::vector<std::uint32_t> enter;
  std::vector<std::uint32_t> leave;
};

// The maximum of value(0 .. count - 1) for count >= 1, scanning upwards with
// a strict test: ties go to the lowest index, and a NaN at index 0 wins
// outright (nothing compares greater). `tied` says whether another index
// holds the same value.
struct RowMaximum {
  std::size_t index;
  bool tied;
};

template <class Value> RowMaximum row_maximum(std::size_t count, Value value) {
  RowMaximum best{0, false};
  double best_value = value(0);
  for (std::size_t i = 1; i < count; ++i) {
    const double candidate = value(i);
    if (candidate > best_value) {
      best = {i, false};
      best_value = candidate;
    } else if (candidate == best_value) {
      best.tied = true;
    }
  }
  return best;
}

// The answer of the level above from that of its contracted problem.
std::vector<std::int64_t> expand(const Contraction& level,
                                 const std::vector<std::int64_t>& reduced) {
  std::vector<std::size_t> outside;
  outside.reserve(level.size - level.inside.size());
  for (std::size_t node = 0, next_inside = 0; node < level.size; ++node) {
    if (next_inside < level.inside.size() && level.inside[next_inside] == node) {
      ++next_inside;
    } else {
      outside.push_back(node);
    }
  }
  const std::size_t m = outside.size();
  std::vector<std::int64_t> result(level.size, -1);
  for (std::size_t j = 0; j < m; ++j) {
    const auto head = static_cast<std::size_t>(reduced[j]);
    result[outside[j]] =
        static_cast<std::int64_t>(head < m ? outside[head] : level.inside[level.leave[j]]);
  }
  for (std::size_t i = 0; i < level.inside.size(); ++i) {
    result[level.inside[i]] = level.inside_heads[i];
  }
  const auto entry = static_cast<std::size_t>(reduced[m]);
  result[level.inside[level.enter[entry]]] = static_cast<std::int64_t>(outside[entry]);
  return result;
}

} // namespace

// Contract the last cycle found into one node, solve the smaller problem, and
// expand its answer. A sentence can need as many contractions as it has
// words, so no level costs a whole matrix: every level reads the one matrix
// it was given, its node p at row and column slot[p], and a contracted cycle
// takes over the row and column of one of its nodes. Each level's greedy
// heads follow from the last level's; a row is scanned again only when its
// head was in the cycle and its maximum may be tied, and the cycle node's new
// row is scanned once.
std::vector<std::int64_t> maximum_spanning_tree(ScoreMatrix scores) {
  const std::size_t n = scores.size();
  for (const std::vector<double>& row : scores) {
    if (row.empty()) {
      throw DepparseModelError("cannot decode an empty score row");
    }
  }
  for (const std::vector<double>& row : scores) {
    if (row.size() != n) {
      throw std::logic_error("dependency score matrix is not square");
    }
  }
  for (std::size_t d = 0; d < n; ++d) {
    scores[d][d] = kNegativeInfinity;
  }
  if (n > 0) {
    std::fill(scores[0].begin(), scores[0].end(), kNegativeInfinity);
    scores[0][0] = 0.0;
  }
  std::vector<std::int64_t> heads(n);
  // Whether another column of the row may hold the row's maximum.
  std::vector<bool> tied(n);
  for (std::size_t d = 0; d < n; ++d) {
    const std::vector<double>& row = scores[d];
    const RowMaximum best = row_maximum(n, [&](std::size_t h) { return row[h]; });
    heads[d] = static_cast<std::int64_t>(best.index);
    tied[d] = best.tied;
  }
  std::vector<std::size_t> slot(n);
  for (std::size_t node = 0; node < n; ++node) {
    slot[node] = node;
  }

  std::vector<Contraction> levels;
  std::vector<std::size_t> outside;
  std::vector<std::size_t> position;
  std::vector<double> entering_best;
  std::vector<double> leaving_best;
  std::vector<double> head_scores;
  for (;;) {
    const std::optional<NodeSet> cycle = last_cycle(heads);
    if (!cycle) {
      break;
    }
    Contraction& level = levels.emplace_back();
    level.size = heads.size();
    outside.clear();
    position.resize(level.size);
    for (std::size_t node = 0; node < level.size; ++node) {
      if (cycle->contains(node)) {
        level.inside.push_back(node);
      } else {
        position[node] = outside.size();
        outside.push_back(node);
      }
    }
    const std::vector<std::size_t>& inside = level.inside;
    const std::size_t k = inside.size();
    const std::size_t m = outside.size();

    std::vector<double> cycle_scores(k);
    double total = 0.0;
    level.inside_heads.resize(k);
    for (std::size_t i = 0; i < k; ++i) {
      level.inside_heads[i] = heads[inside[i]];
      cycle_scores[i] = scores[slot[inside[i]]][slot[static_cast<std::size_t>(heads[inside[i]])]];
      total += cycle_scores[i];
    }
    // Every choice is read before the cycle node's row and column are
    // written over one of its members'.
    level.enter.resize(m);
    level.leave.resize(m);
    entering_best.resize(m);
    leaving_best.resize(m);
    head_scores.resize(m);
    for (std::size_t j = 0; j < m; ++j) {
      const std::size_t column = slot[outside[j]];
      const std::vector<double>& row = scores[column];
      head_scores[j] = row[slot[static_cast<std::size_t>(heads[outside[j]])]];
      // The cycle's score when inside[i] takes outside[j] as its head instead.
      const auto entering = [&](std::size_t i) {
        return total + (scores[slot[inside[i]]][column] - cycle_scores[i]);
      };
      const auto leaving = [&](std::size_t i) { return row[slot[inside[i]]]; };
      const std::size_t enter = row_maximum(k, entering).index;
      const std::size_t leave = row_maximum(k, leaving).index;
      level.enter[j] = static_cast<std::uint32_t>(enter);
      level.leave[j] = static_cast<std::uint32_t>(leave);
      entering_best[j] = entering(enter);
      leaving_best[j] = leaving(leave);
    }
    const std::size_t cycle_slot = slot[inside.front()];
    for (std::size_t j = 0; j < m; ++j) {
      scores[cycle_slot][slot[outside[j]]] = entering_best[j];
      scores[slot[outside[j]]][cycle_slot] = leaving_best[j];
    }
    scores[cycle_slot][cycle_slot] = kNegativeInfinity;

    std::vector<std::size_t> next_slot(m + 1);
    for (std::size_t j = 0; j < m; ++j) {
      next_slot[j] = slot[outside[j]];
    }
    next_slot[m] = cycle_slot;
    std::vector<std::int64_t> next_heads(m + 1);
    std::vector<bool> next_tied(m + 1);
    for (std::size_t j = 0; j < m; ++j) {
      const std::size_t node = outside[j];
      const auto head = static_cast<std::size_t>(heads[node]);
      const std::vector<double>& row = scores[next_slot[j]];
      const double best = head_scores[j];
      const double cycle_column = leaving_best[j];
      if (!cycle->contains(head)) {
        // Dropping the cycle's columns leaves the first maximum where it
        // was; the cycle's column comes last, so only a greater score wins.
        next_heads[j] = static_cast<std::int64_t>(cycle_column > best ? m : position[head]);
        next_tied[j] = tied[node] || cycle_column == best;
      } else if (!tied[node] && cycle_column == best) {
        // The maximum moved into the cycle's column, and no other column
        // holds it.
        next_heads[j] = static_cast<std::int64_t>(m);
        next_tied[j] = false;
      } else {
        const RowMaximum rescanned =
            row_maximum(m + 1, [&](std::size_t l) { return row[next_slot[l]]; });
        next_heads[j] = static_cast<std::int64_t>(rescanned.index);
        next_tied[j] = rescanned.tied;
      }
    }
    const std::vector<double>& cycle_row = scores[cycle_slot];
    const RowMaximum cycle_best =
        row_maximum(m + 1, [&](std::size_t l) { return cycle_row[next_slot[l]]; });
    next_heads[m] = static_cast<std::int64_t>(cycle_best.index);
    next_tied[m] = cycle_best.tied;
    heads = std::move(next_heads);
    tied = std::move(next_tied);
    slot = std::move(next_slot);
  }
  for (auto level = levels.rbegin(); level != levels.rend(); ++level) {
    heads = expand(*level, heads);
  }
  return heads;
}

std::vector<std::int64_t> decode_single_root(ScoreMatrix scores) {
  constexpr const char* kNoFiniteValue = "dependency scores contain no finite value";
  if (scores.empty()) {
    throw DepparseModelError(kNoFiniteValue);
  }
  double smallest = std::numeric_limits<double>::infinity();
  for (const std::vector<double>& row : scores) {
    for (const double value : row) {
      if (std::isfinite(value) && value < smallest) {
        smallest = value;
      }
    }
  }
  if (!std::isfinite(smallest)) {
    throw DepparseModelError(kNoFiniteValue);
  }
  // Every arc from the root drops by the same amount, so a tree with one
  // word under the root beats every tree with more.
  const auto rows = static_cast<double>(scores.size());
  for (std::vector<double>& row : scores) {
    if (!row.empty()) {
      row[0] = std::fma(smallest, rows, row[0]);
    }
  }
  std::vector<std::int64_t> heads = maximum_spanning_tree(std::move(scores));
  std::size_t roots = 0;
  for (std::size_t i = 1; i < heads.size(); ++i) {
    roots += heads[i] == 0 ? 1 : 0;
  }
  if (roots != 1) {
    throw DepparseModelError("single-root dependency decoding did not produce one root");
  }
  return heads;
}

} // namespace velmora::detail
