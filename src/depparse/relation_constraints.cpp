// Relation choice per arc, and the repair of heads with two dependents of a
// relation class a head may carry only once.

#include "depparse/relation_constraints.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <unordered_map>

#include <velmora/errors.hpp>

namespace velmora::detail {
namespace {

using RelationClass = std::optional<std::string_view>;
// Classes barred per arc, keyed by arc_key().
using BannedClasses = std::unordered_map<std::uint64_t, std::vector<std::string_view>>;

constexpr int kMaximumRepairs = 5;

std::uint64_t arc_key(std::int64_t dependent, std::int64_t head) {
  return (static_cast<std::uint64_t>(dependent) << 32) |
         static_cast<std::uint32_t>(static_cast<std::uint64_t>(head));
}

// Entry r is the class of relation r (label r + 4); a relation beyond the
// label list has none, and decoding then refuses it as an invalid id.
std::vector<RelationClass> relation_class_table(const std::vector<std::string>& labels,
                                                std::size_t relations) {
  std::vector<RelationClass> table(relations);
  for (std::size_t r = 0; r < relations && r + 4 < labels.size(); ++r) {
    table[r] = relation_class(labels[r + 4]);
  }
  return table;
}

struct RelationChoice {
  std::int64_t relation;
  double score;
};

RelationChoice best_allowed_relation(const RelationCube& cube,
                                     const std::vector<RelationClass>& classes,
                                     std::int64_t dependent, std::int64_t head,
                                     const BannedClasses& banned, RelationClass excluded) {
  const auto found = banned.find(arc_key(dependent, head));
  const std::vector<std::string_view>* bans = found == banned.end() ? nullptr : &found->second;
  const float* scores =
      cube.arc(static_cast<std::size_t>(dependent), static_cast<std::size_t>(head));
  double best = -std::numeric_limits<double>::infinity();
  std::int64_t best_index = 0;
  for (std::size_t r = 0; r < cube.labels(); ++r) {
    if (const RelationClass& kind = classes[r]) {
      if (kind == excluded ||
          (bans != nullptr && std::find(bans->begin(), bans->end(), *kind) != bans->end())) {
        continue;
      }
    }
    if (scores[r] > best) {
      best = scores[r];
      best_index = static_cast<std::int64_t>(r);
    }
  }
  if (!std::isfinite(best)) {
    throw DepparseModelError("head constraints excluded every dependency relation");
  }
  return {best_index, best};
}

std::vector<std::int64_t> best_relations(const std::vector<std::int64_t>& heads,
                                         const RelationCube& cube,
                                         const std::vector<RelationClass>& classes,
                                         const BannedClasses& banned) {
  std::vector<std::int64_t> relations;
  relations.reserve(heads.size() > 0 ? heads.size() - 1 : 0);
  for (std::size_t i = 1; i < heads.size(); ++i) {
    relations.push_back(best_allowed_relation(cube, classes, static_cast<std::int64_t>(i), heads[i],
                                              banned, std::nullopt)
                            .relation);
  }
  return relations;
}

struct RelationConflict {
  std::int64_t head;
  std::string_view kind;
  std::vector<std::int64_t> dependents; // increasing word indexes
};

// Heads with two or more dependents of one class, in order of creation: the
// first is the one whose first dependent comes earliest.
std::vector<RelationConflict> find_relation_conflicts(const std::vector<RelationClass>& classes,
                                                      const std::vector<std::int64_t>& heads,
                                                      const std::vector<std::int64_t>& relations) {
  std::vector<RelationConflict> conflicts;
  for (std::size_t k = 1; k < heads.size(); ++k) {
    const RelationClass& kind = classes[static_cast<std::size_t>(relations[k - 1])];
    if (!kind) {
      continue;
    }
    const auto existing = std::find_if(conflicts.begin(), conflicts.end(), [&](const auto& c) {
      return c.head == heads[k] && c.kind == *kind;
    });
    if (existing != conflicts.end()) {
      existing->dependents.push_back(static_cast<std::int64_t>(k));
    } else {
      conflicts.push_back({heads[k], *kind, {static_cast<std::int64_t>(k)}});
    }
  }
  std::erase_if(conflicts, [](const RelationConflict& c) { return c.dependents.size() < 2; });
  return conflicts;
}

} // namespace

std::optional<std::string_view> relation_class(std::string_view name) {
  if (name == "obj") {
    return "obj";
  }
  if (name == "nsubj" || name == "csubj" || name == "nsubj:pass" || name == "csubj:pass") {
    return "subj";
  }
  if (name == "nsubj:outer" || name == "csubj:outer") {
    return "subj_outer";
  }
  return std::nullopt;
}

LabeledTree decode_with_relation_constraints(const std::vector<std::string>& deprel_labels,
                                             const ScoreMatrix& arcs, const RelationCube& relations,
                                             std::vector<std::int64_t> heads) {
  const std::vector<RelationClass> classes =
      relation_class_table(deprel_labels, relations.labels());
  BannedClasses banned;
  LabeledTree tree{std::move(heads), {}};
  tree.relations = best_relations(tree.heads, relations, classes, banned);
  const std::size_t n = arcs.size();

  for (int round = 0; round < kMaximumRepairs; ++round) {
    const std::vector<RelationConflict> conflicts =
        find_relation_conflicts(classes, tree.heads, tree.relations);
    if (conflicts.empty()) {
      break;
    }
    const RelationConflict& conflict = conflicts.front();
    const std::vector<std::int64_t>& dependents = conflict.dependents;

    // One candidate per dependent that keeps its place: the others must
    // either leave the head or take a relation outside the class.
    std::optional<LabeledTree> best;
    double best_score = 0.0;
    std::size_t best_kept = 0;
    for (std::size_t kept = 0; kept < dependents.size(); ++kept) {
      ScoreMatrix candidate_scores = arcs;
      for (std::size_t j = 0; j < dependents.size(); ++j) {
        if (j == kept) {
          continue;
        }
        const std::int64_t d = dependents[j];
        std::vector<double>& row = candidate_scores[static_cast<std::size_t>(d)];
        const std::vector<double>& arc_row = arcs[static_cast<std::size_t>(d)];
        for (std::size_t h = 0; h < n; ++h) {
          const auto head = static_cast<std::int64_t>(h);
          const RelationClass excluded =
              head == conflict.head ? RelationClass(conflict.kind) : std::nullopt;
          row[h] = arc_row[h] +
                   best_allowed_relation(relations, classes, d, head, banned, excluded).score;
        }
      }
      LabeledTree candidate;
      candidate.heads = decode_single_root(std::move(candidate_scores));
      candidate.relations = best_relations(candidate.heads, relations, classes, banned);
      for (std::size_t j = 0; j < dependents.size(); ++j) {
        const std::int64_t d = dependents[j];
        if (j != kept && candidate.heads[static_cast<std::size_t>(d)] == conflict.head) {
          candidate.relations[static_cast<std::size_t>(d - 1)] =
              best_allowed_relation(relations, classes, d, conflict.head, banned, conflict.kind)
                  .relation;
        }
      }
      double score = 0.0;
      for (std::size_t i = 1; i < n; ++i) {
        const auto head = static_cast<std::size_t>(candidate.heads[i]);
        const auto relation = static_cast<std::size_t>(candidate.relations[i - 1]);
        score += arcs[i][head] + relations.arc(i, head)[relation];
      }
      if (!best || score > best_score) {
        best = std::move(candidate);
        best_score = score;
        best_kept = kept;
      }
    }
    tree = std::move(*best);
    for (std::size_t j = 0; j < dependents.size(); ++j) {
      if (j != best_kept) {
        banned[arc_key(dependents[j], conflict.head)].push_back(conflict.kind);
      }
    }
  }
  return tree;
}

} // namespace velmora::detail
