#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace velmora {

// An immutable constituency node, shared freely between trees and sentences.
// A leaf holds a word; an inner node a constituent label.
class TreeNode {
public:
  TreeNode(std::string label, std::vector<std::shared_ptr<const TreeNode>> children);
  TreeNode(const TreeNode&) = delete;
  TreeNode& operator=(const TreeNode&) = delete;
  // Releases the nodes below without recursion, so that a tree of any depth
  // can be dropped.
  ~TreeNode();

  const std::string& label() const noexcept { return label_; }
  const std::vector<std::shared_ptr<const TreeNode>>& children() const noexcept {
    return children_;
  }

private:
  std::string label_;
  // Mutable only so that the destructor can take over the children of nodes
  // it releases last; no other operation changes them.
  mutable std::vector<std::shared_ptr<const TreeNode>> children_;
};

class TreeSequence;

// A view of one (never null) tree node; copies share the node.
class ConstituencyTree {
public:
  explicit ConstituencyTree(std::shared_ptr<const TreeNode> node);
  // Builds a new node over the children's nodes (shared, not copied).
  ConstituencyTree(std::string label, std::vector<ConstituencyTree> children);

  const std::shared_ptr<const TreeNode>& node() const noexcept { return node_; }
  const std::string& label() const noexcept { return node_->label(); }
  TreeSequence children() const;
  bool is_leaf() const noexcept { return node_->children().empty(); }
  bool is_preterminal() const noexcept;
  std::vector<std::string> leaf_labels() const;
  // Bracketed form, e.g. "(S (NP (DT The) (NN cat)) (VP (VBZ sits)))".
  std::string to_string() const;
  // Identity of the node, not equality of structure.
  bool same_node(const ConstituencyTree& other) const noexcept { return node_ == other.node_; }

private:
  std::shared_ptr<const TreeNode> node_;
};

// Random-access sequence over its own copy of a node list: element i is node
// start + step * i.
class TreeSequence {
public:
  using NodeList = std::vector<std::shared_ptr<const TreeNode>>;

  TreeSequence() = default;
  explicit TreeSequence(NodeList nodes);
  TreeSequence(NodeList nodes, std::int64_t start, std::int64_t step, std::uint64_t size);

  std::uint64_t size() const noexcept { return size_; }
  // Negative indexes count from the end.
  ConstituencyTree at(std::int64_t index) const;
  // `first`, `step` and `count` must already be normalised against size().
  TreeSequence slice(std::int64_t first, std::int64_t step, std::uint64_t count) const;
  TreeSequence reversed() const;
  // Membership by node identity.
  bool contains(const ConstituencyTree& tree) const noexcept;

private:
  NodeList nodes_;
  std::int64_t start_ = 0;
  std::int64_t step_ = 1;
  std::uint64_t size_ = 0;
};

} // namespace velmora
