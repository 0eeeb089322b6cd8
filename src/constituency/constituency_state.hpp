#pragma once

// The working state of one in-order parse and the rules that read it:
// legality, unary chains, constituents and the choice of a transition.
// Include only from .cpp files: it pulls in ATen.

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include <ATen/core/Tensor.h>

#include <velmora/constituency_tree.hpp>

#include "constituency/constituency_impl.hpp"

namespace velmora::detail {

// One entry of the constituent stack.
struct ConstituentItem {
  std::optional<ConstituencyTree> tree; // absent for an Open marker
  at::Tensor value;                     // (1, hidden_size)
  std::vector<std::string> labels;      // a marker's labels
  bool is_dummy = false;                // an Open marker
};

// One entry of either stack; the first entry of each is its start node.
struct StackNode {
  std::optional<ConstituentItem> item;    // constituent stack, past the start
  std::optional<std::int64_t> transition; // transition stack, past the start
  at::Tensor h;                           // (num_lstm_layers, H)
  at::Tensor c;
  at::Tensor output; // (H): the last layer's h
};

struct ParserState {
  std::uint64_t words = 0;                    // N
  std::uint64_t shifted = 0;                  // S
  std::int64_t open = 0;                      // O
  std::uint64_t applied = 0;                  // T
  std::vector<at::Tensor> entries;            // E[0] .. E[N + 1]
  std::vector<ConstituencyTree> preterminals; // P[0] .. P[N - 1]
  std::vector<StackNode> transition_stack;
  std::vector<StackNode> constituent_stack;
};

// What a transition row is to the legality rules.
enum class TransitionClass : std::uint8_t { Shift, Close, OpenRoot, OpenOther };

std::vector<TransitionClass> transition_classes(const std::vector<Transition>& transitions,
                                                const std::unordered_set<std::string>& roots);

// Which classes of transition the state allows.
struct LegalMoves {
  bool shift = false;
  bool close = false;
  bool open_root = false;
  bool open_other = false;

  bool allows(TransitionClass kind) const;
};

LegalMoves legal_moves(const ParserState& state, const std::vector<Transition>& transitions,
                       std::int64_t unary_limit);

// True when the chain of single-child nodes from `tree` down is longer than
// `unary_limit` (a preterminal's chain is 1).
bool unary_chain_too_long(const ConstituencyTree& tree, std::int64_t unary_limit);

// The constituent of `labels` (outermost first) over `children`: [S, VP]
// over (A, B) is S(VP(A, B)).
ConstituencyTree build_constituent(const std::vector<std::string>& labels,
                                   std::vector<ConstituencyTree> children);

// The legal transition of highest score, -1 when none is legal. Equal
// scores go to the lower index; NaN ranks after every number (-inf
// included), NaNs by index.
std::int64_t best_legal_transition(const double* scores,
                                   const std::vector<TransitionClass>& classes,
                                   const LegalMoves& legal);

} // namespace velmora::detail
