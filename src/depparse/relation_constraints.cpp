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

// The best relation of the arc h -> d among those its bans and `excluded`
// leave, over the arc's scores `scores` (one per relation of `classes`).
RelationChoice best_allowed_relation(const float* scores, const std::vector<RelationClass>& classes,
                                     std::int64_t dependent, std::int64_t head,
                                     const BannedClasses& banned, RelationClass excluded) {
  const auto found = banned.find(arc_key(dependent, head));
  const std::vector<std::string_view>* bans = found == banned.end() ? nullptr : &found->second;
  double best = -std::numeric_limits<double>::infinity();
  std::int64_t best_index = 0;
  for (std::size_t r = 0; r < classes.size(); ++r) {
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

// The relation scores of the arc of every word of a tree, word i at row
// i - 1. Arcs the tree shares with `reuse` (the tree weighed before it) keep
// their scores; only the others are asked for.
struct TreeScores {
  std::vector<std::int64_t> heads;
  std::vector<float> values;
  std::size_t labels = 0;

  const float* word(std::size_t i) const { return values.data() + (i - 1) * labels; }
};

TreeScores score_tree(const RelationScores& relations, const std::vector<std::int64_t>& heads,
                      const TreeScores* reuse) {
  TreeScores tree{heads, {}, relations.labels()};
  const std::size_t words = heads.empty() ? 0 : heads.size() - 1;
  std::vector<std::int64_t> dependents;
  std::vector<std::int64_t> asked_heads;
  for (std::size_t i = 1; i <= words; ++i) {
    if (reuse == nullptr || reuse->heads[i] != heads[i]) {
      dependents.push_back(static_cast<std::int64_t>(i));
      asked_heads.push_back(heads[i]);
    }
  }
  const std::vector<float> asked =
      dependents.empty() ? std::vector<float>() : relations.arc_scores(dependents, asked_heads);
  tree.values.resize(words * tree.labels);
  std::size_t next = 0;
  for (std::size_t i = 1; i <= words; ++i) {
    const float* source =
        next < dependents.size() && dependents[next] == static_cast<std::int64_t>(i)
            ? asked.data() + next++ * tree.labels
            : reuse->word(i);
    std::copy_n(source, tree.labels, tree.values.data() + (i - 1) * tree.labels);
  }
  return tree;
}

std::vector<std::int64_t> best_relations(const TreeScores& tree,
                                         const std::vector<RelationClass>& classes,
                                         const BannedClasses& banned) {
  std::vector<std::int64_t> relations;
  relations.reserve(tree.heads.size() > 0 ? tree.heads.size() - 1 : 0);
  for (std::size_t i = 1; i < tree.heads.size(); ++i) {
    relations.push_back(best_allowed_relation(tree.word(i), classes, static_cast<std::int64_t>(i),
                                              tree.heads[i], banned, std::nullopt)
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

std::vector<float> RelationCube::arc_scores(const std::vector<std::int64_t>& dependents,
                                            const std::vector<std::int64_t>& heads) const {
  std::vector<float> scores;
  scores.reserve(dependents.size() * labels_);
  for (std::size_t i = 0; i < dependents.size(); ++i) {
    const float* arc_values =
        arc(static_cast<std::size_t>(dependents[i]), static_cast<std::size_t>(heads[i]));
    scores.insert(scores.end(), arc_values, arc_values + labels_);
  }
  return scores;
}

std::vector<float> RelationCube::dependent_scores(std::int64_t dependent) const {
  const float* first = arc(static_cast<std::size_t>(dependent), 0);
  return std::vector<float>(first, first + positions_ * labels_);
}

LabeledTree decode_with_relation_constraints(const std::vector<std::string>& deprel_labels,
                                             const ScoreMatrix& arcs,
                                             const RelationScores& relations,
                                             std::vector<std::int64_t> heads) {
  const std::size_t labels = relations.labels();
  const std::vector<RelationClass> classes = relation_class_table(deprel_labels, labels);
  BannedClasses banned;
  TreeScores scored = score_tree(relations, heads, nullptr);
  LabeledTree tree{std::move(heads), best_relations(scored, classes, banned)};
  const std::size_t n = arcs.size();

  for (int round = 0; round < kMaximumRepairs; ++round) {
    const std::vector<RelationConflict> conflicts =
        find_relation_conflicts(classes, tree.heads, tree.relations);
    if (conflicts.empty()) {
      break;
    }
    const RelationConflict& conflict = conflicts.front();
    const std::vector<std::int64_t>& dependents = conflict.dependents;

    // A dependent that may move: its arc scores plus the best relation each
    // head allows it (none of the conflict's class under the conflict's
    // head), and the relation it keeps if it stays there. Made when a
    // candidate first needs it; the same for every candidate of the round.
    struct MovedRow {
      std::vector<double> scores;
      std::int64_t relation_under_conflict_head = 0;
    };
    std::vector<std::optional<MovedRow>> moved(dependents.size());
    const auto moved_row = [&](std::size_t j) -> const MovedRow& {
      if (!moved[j]) {
        const std::int64_t d = dependents[j];
        const std::vector<float> row = relations.dependent_scores(d);
        const std::vector<double>& arc_row = arcs[static_cast<std::size_t>(d)];
        MovedRow& entry = moved[j].emplace();
        entry.scores.resize(n);
        for (std::size_t h = 0; h < n; ++h) {
          const auto head = static_cast<std::int64_t>(h);
          const bool at_conflict = head == conflict.head;
          const RelationChoice choice =
              best_allowed_relation(row.data() + h * labels, classes, d, head, banned,
                                    at_conflict ? RelationClass(conflict.kind) : std::nullopt);
          entry.scores[h] = arc_row[h] + choice.score;
          if (at_conflict) {
            entry.relation_under_conflict_head = choice.relation;
          }
        }
      }
      return *moved[j];
    };

    // One candidate per dependent that keeps its place: the others must
    // either leave the head or take a relation outside the class.
    std::optional<LabeledTree> best;
    std::optional<TreeScores> best_scored;
    double best_score = 0.0;
    std::size_t best_kept = 0;
    for (std::size_t kept = 0; kept < dependents.size(); ++kept) {
      ScoreMatrix candidate_scores = arcs;
      for (std::size_t j = 0; j < dependents.size(); ++j) {
        if (j != kept) {
          candidate_scores[static_cast<std::size_t>(dependents[j])] = moved_row(j).scores;
        }
      }
      LabeledTree candidate;
      candidate.heads = decode_single_root(std::move(candidate_scores));
      TreeScores candidate_scored = score_tree(relations, candidate.heads, &scored);
      candidate.relations = best_relations(candidate_scored, classes, banned);
      for (std::size_t j = 0; j < dependents.size(); ++j) {
        const std::int64_t d = dependents[j];
        if (j != kept && candidate.heads[static_cast<std::size_t>(d)] == conflict.head) {
          candidate.relations[static_cast<std::size_t>(d - 1)] =
              moved_row(j).relation_under_conflict_head;
        }
      }
      double score = 0.0;
      for (std::size_t i = 1; i < n; ++i) {
        const auto head = static_cast<std::size_t>(candidate.heads[i]);
        const auto relation = static_cast<std::size_t>(candidate.relations[i - 1]);
        score += arcs[i][head] + candidate_scored.word(i)[relation];
      }
      if (!best || score > best_score) {
        best = std::move(candidate);
        best_scored = std::move(candidate_scored);
        best_score = score;
        best_kept = kept;
      }
    }
    tree = std::move(*best);
    scored = std::move(*best_scored);
    for (std::size_t j = 0; j < dependents.size(); ++j) {
      if (j != best_kept) {
        banned[arc_key(dependents[j], conflict.head)].push_back(conflict.kind);
      }
    }
  }
  return tree;
}

} // namespace velmora::detail
