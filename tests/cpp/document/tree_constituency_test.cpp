#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "velmora/constituency_tree.hpp"

namespace velmora {
namespace {

ConstituencyTree leaf(const std::string& word) {
  return ConstituencyTree(word, {});
}

ConstituencyTree sentence() {
  const ConstituencyTree np(
      "NP", {ConstituencyTree("DT", {leaf("The")}), ConstituencyTree("NN", {leaf("cat")})});
  const ConstituencyTree vp("VP", {ConstituencyTree("VBZ", {leaf("sits")})});
  return ConstituencyTree("S", {np, vp});
}

std::vector<std::string> labels(const TreeSequence& sequence) {
  std::vector<std::string> out;
  for (std::uint64_t i = 0; i < sequence.size(); ++i) {
    out.push_back(sequence.at(static_cast<std::int64_t>(i)).label());
  }
  return out;
}

TEST(TreeConstituency, RendersAndListsLeaves) {
  const ConstituencyTree tree = sentence();
  EXPECT_EQ(tree.to_string(), "(S (NP (DT The) (NN cat)) (VP (VBZ sits)))");
  EXPECT_EQ(tree.leaf_labels(), (std::vector<std::string>{"The", "cat", "sits"}));
  const ConstituencyTree np = tree.children().at(0);
  EXPECT_EQ(np.label(), "NP");
  EXPECT_FALSE(np.is_preterminal());
  EXPECT_FALSE(np.is_leaf());
  EXPECT_TRUE(np.children().at(0).is_preterminal());
  EXPECT_TRUE(np.children().at(0).children().at(0).is_leaf());

  const ConstituencyTree word = leaf("alone");
  EXPECT_EQ(word.to_string(), "alone");
  EXPECT_TRUE(word.is_leaf());
  EXPECT_FALSE(word.is_preterminal());
  EXPECT_EQ(word.leaf_labels(), std::vector<std::string>{"alone"});
  // Labels are not escaped.
  EXPECT_EQ(ConstituencyTree("X", {leaf("a (b"), leaf("")}).to_string(), "(X a (b )");
}

TEST(TreeConstituency, NodesAreSharedNotCopied) {
  const ConstituencyTree child = leaf("x");
  const ConstituencyTree parent("P", {child, child});
  EXPECT_TRUE(parent.children().at(0).same_node(child));
  EXPECT_TRUE(parent.children().at(1).same_node(child));
  EXPECT_TRUE(parent.children().contains(child));
  const ConstituencyTree twin = leaf("x");
  EXPECT_FALSE(twin.same_node(child));
  EXPECT_FALSE(parent.children().contains(twin));
  EXPECT_TRUE(ConstituencyTree(parent.node()).same_node(parent));
}

TEST(TreeConstituency, NullNodesAreRefused) {
  EXPECT_THROW(ConstituencyTree(std::shared_ptr<const TreeNode>()), std::invalid_argument);
  const auto broken =
      std::make_shared<const TreeNode>("X", std::vector<std::shared_ptr<const TreeNode>>{nullptr});
  try {
    ConstituencyTree(broken).to_string();
    FAIL() << "a null child was rendered";
  } catch (const std::invalid_argument& error) {
    EXPECT_STREQ(error.what(), "a constituency tree node cannot be null");
  }
  EXPECT_THROW(ConstituencyTree(broken).children().at(0), std::invalid_argument);
}

TEST(TreeConstituency, SequenceIndexingSlicingAndReversal) {
  const ConstituencyTree tree("S", {leaf("a"), leaf("b"), leaf("c")});
  const TreeSequence children = tree.children();
  ASSERT_EQ(children.size(), 3u);
  EXPECT_EQ(children.at(-1).label(), "c");
  EXPECT_EQ(children.at(-3).label(), "a");
  for (std::int64_t index : {3, -4}) {
    try {
      children.at(index);
      FAIL() << index;
    } catch (const std::out_of_range& error) {
      EXPECT_STREQ(error.what(), "tree index is outside the sequence");
    }
  }
  EXPECT_EQ(labels(children.reversed()), (std::vector<std::string>{"c", "b", "a"}));
  EXPECT_EQ(labels(children.reversed().reversed()), labels(children));
  EXPECT_EQ(labels(children.slice(2, -2, 2)), (std::vector<std::string>{"c", "a"}));
  EXPECT_EQ(labels(children.reversed().slice(1, 1, 2)), (std::vector<std::string>{"b", "a"}));
  EXPECT_TRUE(children.slice(0, 2, 2).contains(children.at(2)));
  EXPECT_FALSE(children.slice(0, 2, 2).contains(children.at(1)));

  const TreeSequence empty;
  EXPECT_EQ(empty.size(), 0u);
  EXPECT_EQ(empty.reversed().size(), 0u);
  EXPECT_THROW(empty.at(0), std::out_of_range);
  EXPECT_FALSE(empty.contains(tree));
  // A range reaching outside its node list is refused, not read.
  const TreeSequence overlong(std::vector<std::shared_ptr<const TreeNode>>{tree.node()}, 0, 1, 2);
  EXPECT_THROW(overlong.at(1), std::out_of_range);
  EXPECT_FALSE(overlong.contains(leaf("a")));
}

// Far deeper than the stack allows one call frame per level: rendering,
// listing the leaves and dropping the last owner must not recurse. A shared
// subtree survives the drop of one of its owners.
TEST(TreeConstituency, DeepTreesRenderAndDropWithoutRecursion) {
  constexpr int kDepth = 500000;
  ConstituencyTree tree = leaf("w");
  for (int level = 0; level < kDepth; ++level) {
    tree = ConstituencyTree(level % 2 == 0 ? "X" : "Y", {tree});
  }
  const ConstituencyTree shared = tree.children().at(0).children().at(0);
  std::string expected;
  for (int level = kDepth - 1; level >= 0; --level) {
    expected += level % 2 == 0 ? "(X " : "(Y ";
  }
  expected += "w" + std::string(kDepth, ')');
  {
    const ConstituencyTree wide("W", {tree, leaf("v")});
    EXPECT_EQ(wide.to_string(), "(W " + expected + " v)");
    EXPECT_EQ(wide.leaf_labels(), (std::vector<std::string>{"w", "v"}));
  }
  EXPECT_EQ(tree.to_string(), expected);
  tree = leaf("gone");
  EXPECT_EQ(shared.to_string(), expected.substr(6, expected.size() - 8));
}

} // namespace
} // namespace velmora
