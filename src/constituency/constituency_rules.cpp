// The in-order transition system's rules: which transitions a state allows,
// the unary-chain limit, building constituents and ranking the scores.

#include <cmath>

#include <velmora/errors.hpp>

#include "constituency/constituency_state.hpp"

namespace velmora::detail {

std::vector<TransitionClass> transition_classes(const std::vector<Transition>& transitions,
                                                const std::unordered_set<std::string>& roots) {
  std::vector<TransitionClass> classes;
  classes.reserve(transitions.size());
  for (const Transition& row : transitions) {
    switch (row.kind) {
    case TransitionKind::Shift:
      classes.push_back(TransitionClass::Shift);
      break;
    case TransitionKind::Close:
      classes.push_back(TransitionClass::Close);
      break;
    case TransitionKind::Open:
      classes.push_back(roots.count(row.labels.front()) != 0 ? TransitionClass::OpenRoot
                                                             : TransitionClass::OpenOther);
      break;
    }
  }
  return classes;
}

bool LegalMoves::allows(TransitionClass kind) const {
  switch (kind) {
  case TransitionClass::Shift:
    return shift;
  case TransitionClass::Close:
    return close;
  case TransitionClass::OpenRoot:
    return open_root;
  case TransitionClass::OpenOther:
    return open_other;
  }
  return false;
}

bool unary_chain_too_long(const ConstituencyTree& tree, std::int64_t unary_limit) {
  const TreeNode* node = tree.node().get();
  std::int64_t chain = 0;
  while (node->children().size() == 1) {
    if (++chain > unary_limit) {
      return true;
    }
    node = node->children().front().get();
  }
  return false;
}

LegalMoves legal_moves(const ParserState& state, const std::vector<Transition>& transitions,
                       std::int64_t unary_limit) {
  const auto& stack = state.constituent_stack;
  const bool bare = stack.size() == 1;
  const bool last_was_open =
      state.transition_stack.size() >= 2 &&
      transitions[static_cast<std::size_t>(*state.transition_stack.back().transition)].kind ==
          TransitionKind::Open;
  const bool words_left = state.shifted < state.words;
  // A tree of the node's item that may grow by one more unary level.
  const auto chain_fits = [&](const StackNode& node) {
    const std::optional<ConstituencyTree>& tree = node.item->tree;
    return !tree || !unary_chain_too_long(*tree, unary_limit);
  };

  LegalMoves legal;
  legal.shift = words_left && (state.open > 0 || bare);
  const bool may_open =
      state.open <= static_cast<std::int64_t>(state.words) + 10 && !bare && !last_was_open;
  legal.open_root = may_open && state.open == 0 && !words_left;
  legal.open_other = may_open && ((state.open == 0 && words_left) || chain_fits(stack.back()));
  if (!last_was_open) {
    legal.close = state.open >= 1;
  } else {
    // The Close would build a unary constituent over the marker's left child.
    legal.close = state.open >= 1 && (state.open > 1 || !words_left ||
                                      (stack.size() >= 3 && chain_fits(stack[stack.size() - 2])));
  }
  return legal;
}

ConstituencyTree build_constituent(const std::vector<std::string>& labels,
                                   std::vector<ConstituencyTree> children) {
  if (labels.empty()) {
    throw ConstituencyModelError("cannot build a constituent without a label");
  }
  ConstituencyTree node(labels.back(), std::move(children));
  for (auto label = labels.rbegin() + 1; label != labels.rend(); ++label) {
    node = ConstituencyTree(*label, {node});
  }
  return node;
}

std::int64_t best_legal_transition(const double* scores,
                                   const std::vector<TransitionClass>& classes,
                                   const LegalMoves& legal) {
  std::int64_t best = -1;
  for (std::size_t t = 0; t < classes.size(); ++t) {
    if (!legal.allows(classes[t])) {
      continue;
    }
    // Strictly greater replaces: ties keep the earlier row, and a NaN never
    // displaces a number (nor a number ranked before it).
    if (best < 0 ||
        (!std::isnan(scores[t]) && (std::isnan(scores[best]) || scores[t] > scores[best]))) {
      best = static_cast<std::int64_t>(t);
    }
  }
  return best;
}

} // namespace velmora::detail
