// Relation choice and the repair of heads carrying two subjects, two objects
// or two outer subjects, over crafted scores.

#include <gtest/gtest.h>

#include <velmora/errors.hpp>

#include "depparse/relation_constraints.hpp"

namespace velmora {
namespace {

using detail::LabeledTree;
using detail::RelationCube;
using detail::ScoreMatrix;
using Ids = std::vector<std::int64_t>;

// Relation r names label r + 4.
const std::vector<std::string> kLabels = {"<PAD>", "<UNK>",       "<EMPTY>", "<ROOT>",
                                          "root",  "nsubj",       "obj",     "csubj:pass",
                                          "punct", "nsubj:outer", "nsubjx",  "Obj"};
enum Relation : std::int64_t { kRoot, kNsubj, kObj, kCsubjPass, kPunct, kOuter, kNsubjx, kObjCase };

// Scores that make `heads` the best tree (arcs -0.25, others -10) and give
// each arc of it `best` (-0.5), then punct (-1); every other relation scores
// -3. All values are exact in binary, so equal totals stay equal.
struct Scores {
  Scores(const Ids& heads, const Ids& best)
      : arcs(heads.size(), std::vector<double>(heads.size(), -10.0)),
        relations(heads.size(), kLabels.size() - 4), heads(heads) {
    for (std::size_t d = 0; d < heads.size(); ++d) {
      for (std::size_t h = 0; h < heads.size(); ++h) {
        std::fill_n(relations.arc(d, h), relations.labels(), -3.0);
      }
    }
    for (std::size_t d = 1; d < heads.size(); ++d) {
      const auto h = static_cast<std::size_t>(heads[d]);
      arcs[d][h] = -0.25;
      set(d, h, kPunct, -1.0);
      set(d, h, best[d - 1], -0.5);
    }
  }
  void set(std::size_t d, std::size_t h, std::int64_t r, double value) {
    relations.arc(d, h)[r] = value;
  }
  LabeledTree decode() const {
    return detail::decode_with_relation_constraints(kLabels, arcs, relations, heads);
  }

  ScoreMatrix arcs;
  RelationCube relations;
  Ids heads;
};

TEST(RelationConstraints, ClassesMatchWholeNamesOnly) {
  EXPECT_EQ(detail::relation_class("obj"), "obj");
  for (const char* name : {"nsubj", "csubj", "nsubj:pass", "csubj:pass"}) {
    EXPECT_EQ(detail::relation_class(name), "subj") << name;
  }
  EXPECT_EQ(detail::relation_class("nsubj:outer"), "subj_outer");
  EXPECT_EQ(detail::relation_class("csubj:outer"), "subj_outer");
  for (const char* name : {"Obj", "objx", "nsubj:outerx", "iobj", "", "NSUBJ"}) {
    EXPECT_FALSE(detail::relation_class(name)) << name;
  }
}

TEST(RelationConstraints, TreesWithoutConflictsKeepTheirHeads) {
  // Under head 1: a subject, an object, an outer subject, and pairs of names
  // that merely resemble classed ones. Word 9 ties on every relation.
  const Ids heads = {0, 0, 1, 1, 1, 1, 1, 1, 1, 1};
  Scores scores(heads, {kRoot, kNsubj, kObj, kOuter, kNsubjx, kNsubjx, kObjCase, kObjCase, kPunct});
  std::fill_n(scores.relations.arc(9, 1), scores.relations.labels(), -2.0);
  const LabeledTree tree = scores.decode();
  EXPECT_EQ(tree.heads, heads);
  EXPECT_EQ(tree.relations,
            (Ids{kRoot, kNsubj, kObj, kOuter, kNsubjx, kNsubjx, kObjCase, kObjCase, kRoot}));
}

TEST(RelationConstraints, TwoSubjectsKeepTheCheaperOne) {
  // "nsubj" and "csubj:pass" under head 2 conflict. Word 1 has no fallback
  // worth keeping; word 3 falls back to "obj" at little cost and stays.
  Scores scores({0, 2, 0, 2}, {kNsubj, kRoot, kCsubjPass});
  scores.set(3, 2, kObj, -0.75);
  scores.set(3, 2, kNsubj, -0.625);
  scores.set(3, 2, kOuter, -4.0);
  const LabeledTree tree = scores.decode();
  EXPECT_EQ(tree.heads, (Ids{0, 2, 0, 2}));
  EXPECT_EQ(tree.relations, (Ids{kNsubj, kRoot, kObj}));
}

TEST(RelationConstraints, ASecondObjectMovesToAnotherHead) {
  // Words 2 and 3 are objects of word 1. Word 3 has nothing but "obj" at
  // word 1, and a fair arc to word 2 instead.
  Scores scores({0, 0, 1, 1}, {kRoot, kObj, kObj});
  for (std::int64_t r = 0; r < 8; ++r) {
    scores.set(3, 1, r, r == kObj ? -0.5 : -20.0);
    scores.set(2, 1, r, r == kObj ? -0.5 : -20.0);
  }
  scores.arcs[3][2] = -1.0;
  scores.set(3, 2, kPunct, -0.125);
  const LabeledTree tree = scores.decode();
  EXPECT_EQ(tree.heads, (Ids{0, 0, 1, 2}));
  EXPECT_EQ(tree.relations, (Ids{kRoot, kObj, kPunct}));
}

TEST(RelationConstraints, EqualCandidatesKeepTheLowerDependent) {
  Scores scores({0, 0, 1, 1}, {kRoot, kObj, kObj});
  const LabeledTree tree = scores.decode();
  EXPECT_EQ(tree.heads, (Ids{0, 0, 1, 1}));
  EXPECT_EQ(tree.relations, (Ids{kRoot, kObj, kPunct}));
}

TEST(RelationConstraints, RepairStopsAfterFiveRounds) {
  // Heads 1 and 2 each carry two objects, two subjects and two outer
  // subjects: six conflicts, one repaired per round, the last one left.
  Ids heads = {0, 0, 1};
  Ids best = {kRoot, kPunct};
  for (const std::int64_t head : {1, 2}) {
    for (const std::int64_t relation : {kObj, kObj, kNsubj, kNsubj, kOuter, kOuter}) {
      heads.push_back(head);
      best.push_back(relation);
    }
  }
  const LabeledTree tree = Scores(heads, best).decode();
  EXPECT_EQ(tree.heads, heads);
  Ids want = best;
  for (const std::size_t repaired : {4, 6, 8, 10, 12}) {
    want[repaired - 1] = kPunct;
  }
  EXPECT_EQ(tree.relations, want);
}

TEST(RelationConstraints, EveryRelationExcluded) {
  // Only classed relations exist: the second subject has nothing left.
  const std::vector<std::string> labels = {"<PAD>", "<UNK>", "<EMPTY>", "<ROOT>", "nsubj", "csubj"};
  ScoreMatrix arcs = {{0, 0, 0, 0}, {-0.25, -9, -9, -9}, {-9, -0.25, -9, -9}, {-9, -0.25, -9, -9}};
  RelationCube relations(4, 2);
  try {
    detail::decode_with_relation_constraints(labels, arcs, relations, {0, 0, 1, 1});
    FAIL() << "decoded";
  } catch (const DepparseModelError& error) {
    EXPECT_STREQ(error.what(), "head constraints excluded every dependency relation");
  }
}

} // namespace
} // namespace velmora
