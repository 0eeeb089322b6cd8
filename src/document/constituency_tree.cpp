#include "velmora/constituency_tree.hpp"

#include <cstdint>
#include <stdexcept>

#include "document/sequence_position.hpp"

namespace velmora {
namespace {

[[noreturn]] void throw_null_node() {
  throw std::invalid_argument("a constituency tree node cannot be null");
}

void render(const TreeNode& root, std::string& out) {
  struct Frame {
    const TreeNode* node;
    std::size_t next_child;
  };
  std::vector<Frame> stack;
  const auto enter = [&](const TreeNode& node) {
    if (node.children().empty()) {
      out += node.label();
      return;
    }
    out += '(';
    out += node.label();
    stack.push_back({&node, 0});
  };
  enter(root);
  while (!stack.empty()) {
    Frame& frame = stack.back();
    const auto& children = frame.node->children();
    if (frame.next_child == children.size()) {
      out += ')';
      stack.pop_back();
      continue;
    }
    const TreeNode* child = children[frame.next_child++].get();
    if (child == nullptr) {
      throw_null_node();
    }
    out += ' ';
    enter(*child);
  }
}

// A tree sequence keeps its start signed; its positions wrap as the other
// sequences' do.
std::uint64_t position(std::int64_t start, std::int64_t step, std::uint64_t count) {
  return detail::advance(static_cast<std::uint64_t>(start), step, count);
}

} // namespace

TreeNode::TreeNode(std::string label, std::vector<std::shared_ptr<const TreeNode>> children)
    : label_(std::move(label)), children_(std::move(children)) {}

TreeNode::~TreeNode() {
  // Releasing the children one by one would nest a destructor call per level
  // of the tree. Instead, a child this node owns alone hands its own children
  // to the work list before it goes, so that each node is destroyed with no
  // children left. Shared children are only released: their other owners
  // keep them.
  std::vector<std::shared_ptr<const TreeNode>> pending = std::move(children_);
  while (!pending.empty()) {
    std::shared_ptr<const TreeNode> node = std::move(pending.back());
    pending.pop_back();
    if (node && node.use_count() == 1) {
      for (std::shared_ptr<const TreeNode>& child : node->children_) {
        pending.push_back(std::move(child));
      }
      node->children_.clear();
    }
  }
}

ConstituencyTree::ConstituencyTree(std::shared_ptr<const TreeNode> node) : node_(std::move(node)) {
  if (!node_) {
    throw_null_node();
  }
}

ConstituencyTree::ConstituencyTree(std::string label, std::vector<ConstituencyTree> children) {
  std::vector<std::shared_ptr<const TreeNode>> nodes;
  nodes.reserve(children.size());
  for (const ConstituencyTree& child : children) {
    nodes.push_back(child.node_);
  }
  node_ = std::make_shared<const TreeNode>(std::move(label), std::move(nodes));
}

TreeSequence ConstituencyTree::children() const {
  return TreeSequence(node_->children());
}

bool ConstituencyTree::is_preterminal() const noexcept {
  const auto& children = node_->children();
  return children.size() == 1 && children.front() && children.front()->children().empty();
}

std::vector<std::string> ConstituencyTree::leaf_labels() const {
  std::vector<std::string> labels;
  std::vector<const TreeNode*> stack{node_.get()};
  while (!stack.empty()) {
    const TreeNode* node = stack.back();
    stack.pop_back();
    const auto& children = node->children();
    if (children.empty()) {
      labels.push_back(node->label());
      continue;
    }
    for (auto it = children.rbegin(); it != children.rend(); ++it) {
      if (!*it) {
        throw_null_node();
      }
      stack.push_back(it->get());
    }
  }
  return labels;
}

std::string ConstituencyTree::to_string() const {
  std::string out;
  render(*node_, out);
  return out;
}

TreeSequence::TreeSequence(NodeList nodes)
    : nodes_(std::move(nodes)), start_(0), step_(1), size_(nodes_.size()) {}

TreeSequence::TreeSequence(NodeList nodes, std::int64_t start, std::int64_t step,
                           std::uint64_t size)
    : nodes_(std::move(nodes)), start_(start), step_(step), size_(size) {}

ConstituencyTree TreeSequence::at(std::int64_t index) const {
  const auto count = static_cast<std::int64_t>(size_);
  if (index < 0) {
    index += count;
  }
  if (index < 0 || index >= count) {
    throw std::out_of_range("tree index is outside the sequence");
  }
  const std::uint64_t found = position(start_, step_, static_cast<std::uint64_t>(index));
  if (found >= nodes_.size()) {
    throw std::out_of_range("tree position is outside the node list");
  }
  return ConstituencyTree(nodes_[static_cast<std::size_t>(found)]);
}

TreeSequence TreeSequence::slice(std::int64_t first, std::int64_t step, std::uint64_t count) const {
  return TreeSequence(
      nodes_, static_cast<std::int64_t>(position(start_, step_, static_cast<std::uint64_t>(first))),
      static_cast<std::int64_t>(position(0, step_, static_cast<std::uint64_t>(step))), count);
}

TreeSequence TreeSequence::reversed() const {
  if (size_ == 0) {
    return *this;
  }
  return TreeSequence(
      nodes_, static_cast<std::int64_t>(position(start_, step_, size_ - 1)),
      static_cast<std::int64_t>(std::uint64_t{0} - static_cast<std::uint64_t>(step_)), size_);
}

bool TreeSequence::contains(const ConstituencyTree& tree) const noexcept {
  for (std::uint64_t i = 0; i < size_; ++i) {
    const std::uint64_t at = position(start_, step_, i);
    if (at < nodes_.size() && nodes_[static_cast<std::size_t>(at)] == tree.node()) {
      return true;
    }
  }
  return false;
}

} // namespace velmora
