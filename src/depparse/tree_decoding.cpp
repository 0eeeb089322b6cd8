// Chu-Liu-Edmonds maximum spanning tree search and the single-root decode.

#include "depparse/tree_decoding.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

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

// The index of the row's maximum, scanning upwards with a strict test: ties,
// and a row of -inf or NaN throughout, give the lowest index.
std::size_t first_maximum(const std::vector<double>& row) {
  if (row.empty()) {
    throw DepparseModelError("cannot decode an empty score row");
  }
  std::size_t best = 0;
  for (std::size_t column = 1; column < row.size(); ++column) {
    if (row[column] > row[best]) {
      best = column;
    }
  }
  return best;
}

// The cycles of the head graph (edges heads[d] -> d) as strongly connected
// components of at least two nodes, in order of completion. Tarjan's search,
// iterative so that long chains cannot exhaust the call stack.
std::vector<NodeSet> find_cycles(const std::vector<std::int64_t>& heads) {
  const std::size_t n = heads.size();
  std::vector<std::vector<std::size_t>> dependents(n);
  for (std::size_t d = 0; d < n; ++d) {
    dependents[static_cast<std::size_t>(heads[d])].push_back(d);
  }
  std::vector<std::int64_t> discovery(n, -1);
  std::vector<std::int64_t> low(n, -1);
  NodeSet on_stack(n);
  std::vector<std::size_t> stack;
  std::vector<NodeSet> cycles;
  std::int64_t counter = 0;

  struct Frame {
    std::size_t node;
    std::size_t next; // index into the node's dependents
    bool visited;
  };
  std::vector<Frame> frames;
  for (std::size_t start = 0; start < n; ++start) {
    if (discovery[start] != -1) {
      continue;
    }
    frames.push_back({start, 0, false});
    while (!frames.empty()) {
      Frame& frame = frames.back();
      const std::size_t node = frame.node;
      if (!frame.visited) {
        frame.visited = true;
        discovery[node] = low[node] = counter++;
        stack.push_back(node);
        on_stack.insert(node);
      }
      if (frame.next < dependents[node].size()) {
        const std::size_t dependent = dependents[node][frame.next++];
        if (discovery[dependent] == -1) {
          frames.push_back({dependent, 0, false});
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
          cycles.push_back(std::move(component));
        }
      }
      frames.pop_back();
      if (!frames.empty()) {
        const std::size_t parent = frames.back().node;
        low[parent] = std::min(low[parent], low[node]);
      }
    }
  }
  return cycles;
}

} // namespace

namespace {

// What one contraction needs to expand the smaller problem's answer.
struct Contraction {
  std::vector<std::int64_t> heads; // the greedy heads of the level
  std::vector<std::size_t> inside; // the cycle's nodes
  std::vector<std::size_t> outside;
  std::vector<std::size_t> enter; // per outside node: the cycle node it would enter at
  std::vector<std::size_t> leave; // per outside node: the cycle node it would hang from
};

// The greedy heads of one level, after the diagonal and the root's row have
// been barred.
std::vector<std::int64_t> greedy_heads(ScoreMatrix& scores) {
  const std::size_t n = scores.size();
  for (std::size_t d = 0; d < n; ++d) {
    if (d < scores[d].size()) {
      scores[d][d] = kNegativeInfinity;
    }
  }
  if (n > 0) {
    for (double& value : scores[0]) {
      value = kNegativeInfinity;
    }
    if (!scores[0].empty()) {
      scores[0][0] = 0.0;
    }
  }
  std::vector<std::int64_t> heads(n, 0);
  for (std::size_t d = 0; d < n; ++d) {
    heads[d] = static_cast<std::int64_t>(first_maximum(scores[d]));
  }
  return heads;
}

// Contracts `cycle` into one node: returns the smaller problem and records in
// `level` how to expand its answer.
ScoreMatrix contract(const ScoreMatrix& scores, const NodeSet& cycle, Contraction& level) {
  const std::size_t n = scores.size();
  for (std::size_t node = 0; node < n; ++node) {
    (cycle.contains(node) ? level.inside : level.outside).push_back(node);
  }
  const std::vector<std::size_t>& inside = level.inside;
  const std::vector<std::size_t>& outside = level.outside;
  const std::size_t k = inside.size();
  const std::size_t m = outside.size();

  std::vector<double> cycle_scores(k);
  double total = 0.0;
  for (std::size_t i = 0; i < k; ++i) {
    cycle_scores[i] = scores[inside[i]][static_cast<std::size_t>(level.heads[inside[i]])];
    total += cycle_scores[i];
  }
  level.enter.resize(m);
  level.leave.resize(m);
  std::vector<double> entering(k);
  std::vector<double> leaving(k);
  ScoreMatrix contracted(m + 1, std::vector<double>(m + 1, 0.0));
  for (std::size_t j = 0; j < m; ++j) {
    for (std::size_t i = 0; i < k; ++i) {
      // The cycle's score when inside[i] takes outside[j] as its head instead.
      entering[i] = total + (scores[inside[i]][outside[j]] - cycle_scores[i]);
      leaving[i] = scores[outside[j]][inside[i]];
    }
    level.enter[j] = first_maximum(entering);
    level.leave[j] = first_maximum(leaving);
    for (std::size_t l = 0; l < m; ++l) {
      contracted[j][l] = scores[outside[j]][outside[l]];
    }
    contracted[j][m] = leaving[level.leave[j]];
    contracted[m][j] = entering[level.enter[j]];
  }
  return contracted;
}

// The answer of the level above from that of its contracted problem.
std::vector<std::int64_t> expand(const Contraction& level,
                                 const std::vector<std::int64_t>& reduced) {
  const std::size_t m = level.outside.size();
  std::vector<std::int64_t> result(level.heads.size(), -1);
  for (std::size_t j = 0; j < m; ++j) {
    const auto head = static_cast<std::size_t>(reduced[j]);
    result[level.outside[j]] =
        static_cast<std::int64_t>(head < m ? level.outside[head] : level.inside[level.leave[j]]);
  }
  for (const std::size_t node : level.inside) {
    result[node] = level.heads[node];
  }
  const auto entry = static_cast<std::size_t>(reduced[m]);
  result[level.inside[level.enter[entry]]] = static_cast<std::int64_t>(level.outside[entry]);
  return result;
}

} // namespace

// Contract the last cycle found into one node, solve the smaller problem, and
// expand its answer. A sentence can need as many contractions as it has
// words, so the levels are kept on a list rather than the call stack, and
// each level's matrix is dropped once its contraction is built: only the
// level being solved holds a full score matrix.
std::vector<std::int64_t> maximum_spanning_tree(ScoreMatrix scores) {
  std::vector<Contraction> levels;
  std::vector<std::int64_t> heads;
  for (;;) {
    heads = greedy_heads(scores);
    const std::vector<NodeSet> cycles = find_cycles(heads);
    if (cycles.empty()) {
      break;
    }
    Contraction& level = levels.emplace_back();
    level.heads = std::move(heads);
    scores = contract(scores, cycles.back(), level);
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
