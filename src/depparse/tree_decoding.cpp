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
        NodeSet component(n);
        std::size_t size = 0;
        std::size_t member = 0;
        do {
          member = stack.back();
          stack.pop_back();
          on_stack.erase(member);
          component.insert(member);
          ++size;
        } while (member != node);
        if (size >= 2) {
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

std::vector<std::int64_t> maximum_spanning_tree(ScoreMatrix scores) {
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

  const std::vector<NodeSet> cycles = find_cycles(heads);
  if (cycles.empty()) {
    return heads;
  }

  // Contract the last cycle found into one node, solve the smaller problem,
  // and expand its answer.
  const NodeSet& cycle = cycles.back();
  std::vector<std::size_t> inside;
  std::vector<std::size_t> outside;
  for (std::size_t node = 0; node < n; ++node) {
    (cycle.contains(node) ? inside : outside).push_back(node);
  }
  const std::size_t k = inside.size();
  const std::size_t m = outside.size();

  std::vector<double> cycle_scores(k);
  double total = 0.0;
  for (std::size_t i = 0; i < k; ++i) {
    cycle_scores[i] = scores[inside[i]][static_cast<std::size_t>(heads[inside[i]])];
    total += cycle_scores[i];
  }
  std::vector<std::size_t> enter(m);
  std::vector<std::size_t> leave(m);
  std::vector<double> entering(k);
  std::vector<double> leaving(k);
  ScoreMatrix contracted(m + 1, std::vector<double>(m + 1, 0.0));
  for (std::size_t j = 0; j < m; ++j) {
    for (std::size_t i = 0; i < k; ++i) {
      // The cycle's score when inside[i] takes outside[j] as its head instead.
      entering[i] = total + (scores[inside[i]][outside[j]] - cycle_scores[i]);
      leaving[i] = scores[outside[j]][inside[i]];
    }
    enter[j] = first_maximum(entering);
    leave[j] = first_maximum(leaving);
    for (std::size_t l = 0; l < m; ++l) {
      contracted[j][l] = scores[outside[j]][outside[l]];
    }
    contracted[j][m] = leaving[leave[j]];
    contracted[m][j] = entering[enter[j]];
  }

  const std::vector<std::int64_t> reduced = maximum_spanning_tree(std::move(contracted));
  std::vector<std::int64_t> result(n, -1);
  for (std::size_t j = 0; j < m; ++j) {
    const auto head = static_cast<std::size_t>(reduced[j]);
    result[outside[j]] = static_cast<std::int64_t>(head < m ? outside[head] : inside[leave[j]]);
  }
  for (std::size_t i = 0; i < k; ++i) {
    result[inside[i]] = heads[inside[i]];
  }
  const auto entry = static_cast<std::size_t>(reduced[m]);
  result[inside[enter[entry]]] = static_cast<std::int64_t>(outside[entry]);
  return result;
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
