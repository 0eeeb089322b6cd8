// The in-order transition parser of one sentence: two stack LSTMs, the
// output network's ranking of every transition, and Shift, Open and Close.

#include <ATen/ops/amax.h>
#include <ATen/ops/cat.h>
#include <ATen/ops/linear.h>
#include <ATen/ops/relu.h>
#include <ATen/ops/stack.h>
#include <c10/core/InferenceMode.h>

#include "bundle/tensor_errors.hpp"
#include "constituency/constituency_impl.hpp"
#include "constituency/constituency_state.hpp"
#include "encoders/calling_thread.hpp"
#include "encoders/lstm.hpp"

namespace velmora {
namespace {

using detail::ConstituentItem;
using detail::ParserState;
using detail::StackNode;
using detail::TransitionKind;

// The node after `previous` that reads `x` [> 0 values], with states of
// `layers` x `width`.
StackNode stack_step(const StackNode& previous, const at::Tensor& x,
                     const std::vector<at::Tensor>& weights, std::int64_t layers,
                     std::int64_t width) {
  if (x.dim() != 1 || x.numel() < 1) {
    throw ConstituencyModelError("constituency stack input is not a vector");
  }
  for (const at::Tensor* state : {&previous.h, &previous.c}) {
    if (state->dim() != 2 || state->size(0) != layers || state->size(1) != width) {
      throw ConstituencyModelError("constituency stack state has the wrong shape");
    }
  }
  detail::LstmStepState next = detail::lstm_step(x, previous.h, previous.c, weights, layers);
  StackNode node;
  node.output = next.h[layers - 1];
  node.h = std::move(next.h);
  node.c = std::move(next.c);
  return node;
}

class InOrderParser {
public:
  InOrderParser(const ConstituencyPlan::Impl& model, const std::vector<std::string>& words,
                const std::vector<std::string>& tags);

  ConstituencyTree run();

private:
  StackNode start_node(const char* embedding, const std::vector<at::Tensor>& weights,
                       const std::vector<at::Tensor>& init) const;
  std::optional<ConstituencyTree> finished() const;
  std::vector<double> scores() const;
  void push_constituent(ConstituentItem item);
  void shift();
  void open(const detail::Transition& transition);
  void close();
  void push_transition(std::int64_t t);

  const ConstituencyPlan::Impl& model_;
  std::vector<detail::TransitionClass> classes_;
  ParserState state_;
};

InOrderParser::InOrderParser(const ConstituencyPlan::Impl& model,
                             const std::vector<std::string>& words,
                             const std::vector<std::string>& tags)
    : model_(model), classes_(detail::transition_classes(model.transitions, model.root_labels)) {
  state_.words = words.size();
  state_.entries = model.encode_words(words, tags);
  if (state_.entries.size() != words.size() + 2) {
    throw ConstituencyModelError("constituency word encoder omitted sentence sentinels");
  }
  state_.preterminals.reserve(words.size());
  for (std::size_t i = 0; i < words.size(); ++i) {
    state_.preterminals.emplace_back(tags[i], std::vector{ConstituencyTree(words[i], {})});
  }
  state_.transition_stack.push_back(start_node("transition_stack.start_embedding",
                                               model.transition_lstm_weights,
                                               model.transition_lstm_init));
  state_.constituent_stack.push_back(start_node("constituent_stack.start_embedding",
                                                model.constituent_lstm_weights,
                                                model.constituent_lstm_init));
}

StackNode InOrderParser::start_node(const char* embedding, const std::vector<at::Tensor>& weights,
                                    const std::vector<at::Tensor>& init) const {
  const at::Tensor h = init[0].squeeze(1);
  const at::Tensor c = init[1].squeeze(1);
  StackNode node;
  if (model_.boundary_vectors) {
    detail::LstmStepState next = detail::lstm_step(model_.tensor(embedding).reshape({-1}), h, c,
                                                   weights, model_.num_lstm_layers);
    node.h = std::move(next.h);
    node.c = std::move(next.c);
  } else {
    node.h = h;
    node.c = c;
  }
  node.output = node.h[model_.num_lstm_layers - 1];
  return node;
}

std::optional<ConstituencyTree> InOrderParser::finished() const {
  if (state_.shifted != state_.words || state_.constituent_stack.size() != 2) {
    return std::nullopt;
  }
  const std::optional<ConstituencyTree>& tree = state_.constituent_stack.back().item->tree;
  if (!tree || model_.root_labels.count(tree->label()) == 0) {
    return std::nullopt;
  }
  return tree;
}

std::vector<double> InOrderParser::scores() const {
  at::Tensor x = at::cat({state_.entries[state_.shifted + 1], state_.transition_stack.back().output,
                          state_.constituent_stack.back().output});
  for (const auto& [weight, bias] : model_.output_layers) {
    x = at::linear(at::relu(x), weight, bias);
  }
  if (x.dim() != 1 || x.size(0) != static_cast<std::int64_t>(model_.transitions.size())) {
    throw ConstituencyModelError("constituency output layer has the wrong shape");
  }
  const at::Tensor values = x.to(at::kDouble).contiguous();
  const double* data = values.const_data_ptr<double>();
  return {data, data + values.numel()};
}

ConstituencyTree InOrderParser::run() {
  const std::uint64_t limit = 20 * (state_.words + 2);
  while (true) {
    if (std::optional<ConstituencyTree> tree = finished()) {
      return *tree;
    }
    const std::vector<double> ranked = scores();
    const std::int64_t t = detail::best_legal_transition(
        ranked.data(), classes_,
        detail::legal_moves(state_, model_.transitions, model_.unary_limit));
    if (t < 0) {
      throw ConstituencyModelError("constituency parser could not find a legal transition");
    }
    if (state_.applied >= limit) {
      throw ConstituencyModelError("constituency parser exceeded its transition limit");
    }
    const detail::Transition& transition = model_.transitions[static_cast<std::size_t>(t)];
    switch (transition.kind) {
    case TransitionKind::Shift:
      shift();
      break;
    case TransitionKind::Open:
      open(transition);
      break;
    case TransitionKind::Close:
      close();
      break;
    }
    push_transition(t);
    ++state_.applied;
  }
}

void InOrderParser::push_constituent(ConstituentItem item) {
  StackNode node =
      stack_step(state_.constituent_stack.back(), item.value[-1], model_.constituent_lstm_weights,
                 model_.num_lstm_layers, model_.hidden_size);
  node.item = std::move(item);
  state_.constituent_stack.push_back(std::move(node));
}

void InOrderParser::shift() {
  ConstituentItem item;
  item.tree = state_.preterminals[state_.shifted];
  item.value = state_.entries[state_.shifted + 1].narrow(0, 0, model_.hidden_size).view({1, -1});
  push_constituent(std::move(item));
  ++state_.shifted;
}

void InOrderParser::open(const detail::Transition& transition) {
  const at::Tensor& dummies = model_.tensor("dummy_embedding.weight");
  if (transition.open_index >= dummies.size(0)) {
    throw ConstituencyModelError("constituency Open index is outside dummy embeddings");
  }
  ConstituentItem marker;
  marker.value = dummies[transition.open_index].view({1, model_.hidden_size});
  marker.labels = transition.labels;
  marker.is_dummy = true;
  push_constituent(std::move(marker));
  ++state_.open;
}

void InOrderParser::close() {
  auto& stack = state_.constituent_stack;
  std::vector<ConstituentItem> children;
  while (stack.size() > 1 && !stack.back().item->is_dummy) {
    children.push_back(std::move(*stack.back().item));
    stack.pop_back();
  }
  if (stack.size() == 1) {
    throw ConstituencyModelError("constituency Close has no matching Open");
  }
  const std::vector<std::string> labels = std::move(stack.back().item->labels);
  stack.pop_back();
  if (stack.size() == 1) {
    throw ConstituencyModelError("in-order constituency Close has no left child");
  }
  children.push_back(std::move(*stack.back().item));
  stack.pop_back();

  std::vector<ConstituencyTree> trees;
  std::vector<at::Tensor> values;
  trees.reserve(children.size());
  values.reserve(children.size());
  for (auto child = children.rbegin(); child != children.rend(); ++child) {
    if (!child->tree) {
      throw ConstituencyModelError("constituency child is a dummy marker");
    }
    trees.push_back(*child->tree);
    values.push_back(child->value.squeeze(0));
  }
  ConstituentItem item;
  item.value =
      at::relu(at::linear(at::amax(at::stack(values), 0), model_.tensor("reduce_linear.weight"),
                          model_.tensor("reduce_linear.bias")))
          .reshape({1, model_.hidden_size});
  item.tree = detail::build_constituent(labels, std::move(trees));
  push_constituent(std::move(item));
  --state_.open;
}

void InOrderParser::push_transition(std::int64_t t) {
  StackNode node = stack_step(
      state_.transition_stack.back(), model_.tensor("transition_embedding.weight")[t],
      model_.transition_lstm_weights, model_.num_lstm_layers, model_.transition_hidden_size);
  node.transition = t;
  state_.transition_stack.push_back(std::move(node));
}

} // namespace

ConstituencyTree ConstituencyPlan::Impl::parse(const std::vector<std::string>& words,
                                               const std::vector<std::string>& tags) const {
  if (words.empty()) {
    throw ConstituencyModelError("constituency parser cannot parse an empty sentence");
  }
  if (words.size() != tags.size()) {
    throw ConstituencyModelError("constituency words and tags have different lengths");
  }
  c10::InferenceMode guard;
  return InOrderParser(*this, words, tags).run();
}

// A sentence's steps are products of single vectors, far too small to share
// out, so the sentences themselves are the units of the team. Each keeps its
// own outcome, so that a caller can report the first failure in sentence
// order whichever thread met it first.
std::vector<ConstituencyPlan::Impl::ParseOutcome>
ConstituencyPlan::Impl::parse_each(const std::vector<std::vector<std::string>>& words,
                                   const std::vector<std::vector<std::string>>& tags) const {
  std::vector<ParseOutcome> outcomes(words.size());
  detail::for_each_unit(words.size(), [&](std::size_t s) {
    try {
      outcomes[s].tree = detail::with_model_errors<ConstituencyModelError>(
          [&] { return parse(words[s], tags[s]); });
    } catch (...) {
      outcomes[s].error = std::current_exception();
    }
  });
  return outcomes;
}

} // namespace velmora
