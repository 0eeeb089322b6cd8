// The transition rules on states built by hand: legality, unary chains,
// constituents and the ranking of scores.

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "constituency/constituency_state.hpp"
#include "test_support.hpp"

namespace velmora::detail {
namespace {

const std::vector<Transition> kTable = {{TransitionKind::Shift, {}, -1},
                                        {TransitionKind::Close, {}, -1},
                                        {TransitionKind::Open, {"ROOT"}, 0},
                                        {TransitionKind::Open, {"NP"}, 1}};
constexpr std::int64_t kOpenRow = 3;
constexpr std::int64_t kCloseRow = 1;

ConstituencyTree preterminal(const std::string& tag, const std::string& word) {
  return ConstituencyTree(tag, {ConstituencyTree(word, {})});
}

StackNode item_node(std::optional<ConstituencyTree> tree) {
  StackNode node;
  node.item = ConstituentItem{std::move(tree), {}, {}, false};
  return node;
}

StackNode marker_node() {
  StackNode node;
  node.item = ConstituentItem{std::nullopt, {}, {"NP"}, true};
  return node;
}

// N words, S shifted, O open; the constituent stack holds the start node
// then `items`; the transition stack ends with `last` (none: only its start).
ParserState state(std::uint64_t words, std::uint64_t shifted, std::int64_t open,
                  std::vector<StackNode> items, std::optional<std::int64_t> last) {
  ParserState built;
  built.words = words;
  built.shifted = shifted;
  built.open = open;
  built.constituent_stack.emplace_back();
  for (StackNode& node : items) {
    built.constituent_stack.push_back(std::move(node));
  }
  built.transition_stack.emplace_back();
  if (last) {
    StackNode node;
    node.transition = *last;
    built.transition_stack.push_back(std::move(node));
  }
  return built;
}

std::string moves(const LegalMoves& legal) {
  return std::string(legal.shift ? "S" : "-") + (legal.close ? "C" : "-") +
         (legal.open_root ? "R" : "-") + (legal.open_other ? "O" : "-");
}

TEST(ConstituencyRules, LegalityOfBuiltStates) {
  const auto legal = [](const ParserState& built, std::int64_t unary_limit = 3) {
    return moves(legal_moves(built, kTable, unary_limit));
  };
  const ConstituencyTree cat = preterminal("NN", "cat");
  const ConstituencyTree np = ConstituencyTree("NP", {cat, preterminal("VB", "sat")});

  // A bare stack allows only Shift; one item with nothing open, only Opens.
  EXPECT_EQ(legal(state(2, 0, 0, {}, std::nullopt)), "S---");
  EXPECT_EQ(legal(state(
                2, 1, 0, [&] { return std::vector{item_node(cat)}; }(), 0)),
            "---O");
  // Every word shifted, nothing open: the root, or another level while the
  // chain below stays within the limit.
  EXPECT_EQ(legal(state(
                1, 1, 0, [&] { return std::vector{item_node(np)}; }(), kCloseRow)),
            "--RO");
  const ConstituencyTree chain = ConstituencyTree("S", {ConstituencyTree("VP", {cat})});
  EXPECT_EQ(legal(state(
                1, 1, 0, [&] { return std::vector{item_node(chain)}; }(), kCloseRow)),
            "--RO");
  EXPECT_EQ(legal(state(
                      1, 1, 0, [&] { return std::vector{item_node(chain)}; }(), kCloseRow),
                  2),
            "--R-");

  // The open count may reach N + 10 before an Open, not N + 11.
  const auto opened = [&](std::int64_t open) {
    return legal(state(
        1, 1, open, [&] { return std::vector{item_node(np)}; }(), kCloseRow));
  };
  EXPECT_EQ(opened(11), "-C-O");
  EXPECT_EQ(opened(12), "-C--");

  // Right after an Open no Open is legal. A Close there builds a unary
  // constituent: free with two open or no word left, else the left child's
  // chain must fit (a preterminal's is 1).
  const auto after_open = [&](std::uint64_t shifted, std::int64_t open, std::int64_t unary_limit) {
    return legal(state(
                     2, shifted, open,
                     [&] {
                       return std::vector{item_node(cat), marker_node()};
                     }(),
                     kOpenRow),
                 unary_limit);
  };
  EXPECT_EQ(after_open(1, 2, 0), "SC--");
  EXPECT_EQ(after_open(1, 1, 0), "S---");
  EXPECT_EQ(after_open(1, 1, 1), "SC--");
  EXPECT_EQ(after_open(2, 1, 0), "-C--");
  // Without a left child below the marker the unary Close has nothing to
  // close over.
  EXPECT_EQ(legal(state(
                2, 1, 1, [&] { return std::vector{marker_node()}; }(), kOpenRow)),
            "S---");
}

TEST(ConstituencyRules, UnaryChainsAndConstituents) {
  const ConstituencyTree cat = preterminal("NN", "cat");
  EXPECT_FALSE(unary_chain_too_long(cat, 1));
  EXPECT_TRUE(unary_chain_too_long(cat, 0));
  EXPECT_TRUE(unary_chain_too_long(ConstituencyTree("NP", {cat}), 1));
  EXPECT_FALSE(unary_chain_too_long(ConstituencyTree("cat", {}), 0));

  const ConstituencyTree a = preterminal("DT", "a");
  EXPECT_EQ(build_constituent({"S", "VP"}, {a, cat}).to_string(), "(S (VP (DT a) (NN cat)))");
  EXPECT_EQ(test::message_of<ConstituencyModelError>([&] { build_constituent({}, {a}); }),
            "cannot build a constituent without a label");
}

TEST(ConstituencyRules, RankingIsATotalOrder) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const std::vector<TransitionClass> four(4, TransitionClass::Shift);
  LegalMoves all;
  all.shift = true;
  const auto best = [&](std::vector<double> scores) {
    return best_legal_transition(scores.data(), four, all);
  };
  EXPECT_EQ(best({1, 3, 3, 2}), 1);
  EXPECT_EQ(best({nan, -inf, nan, -inf}), 1);
  EXPECT_EQ(best({nan, 0, nan, 5}), 3);
  EXPECT_EQ(best({nan, nan, nan, nan}), 0);

  // The best score of an illegal class is passed over.
  const std::vector<TransitionClass> mixed = {TransitionClass::Close, TransitionClass::Shift,
                                              TransitionClass::OpenRoot,
                                              TransitionClass::OpenOther};
  const std::vector<double> scores = {9, 1, 8, 2};
  EXPECT_EQ(best_legal_transition(scores.data(), mixed, all), 1);
  EXPECT_EQ(best_legal_transition(scores.data(), mixed, LegalMoves{}), -1);
}

} // namespace
} // namespace velmora::detail
