// The tensor set of a "constituency" bundle: every tensor as a view, the
// checks of the ones the parser needs against the configuration and the
// vocabularies, and the bound LSTM weights, initial states and output layers.

#include <algorithm>

#include <ATen/ops/zeros.h>

#include "constituency/constituency_impl.hpp"
#include "encoders/lstm.hpp"
#include "taggers/tagger_assets.hpp"

namespace velmora {
namespace {

constexpr const char* kWordLstm = "word_lstm.";
constexpr const char* kTransitionLstm = "transition_stack.lstm.";
constexpr const char* kConstituentLstm = "constituent_stack.lstm.";

// The rows an embedding over ids given from 2 needs: the largest id + 1.
// Counting entries instead would let a repeated word push a later word's id
// past the last row.
std::int64_t rows_for_ids(const detail::UnitMap& vocabulary) {
  std::int64_t largest = 1;
  for (const auto& [unit, id] : vocabulary) {
    largest = std::max(largest, id);
  }
  return largest + 1;
}

} // namespace

const at::Tensor& ConstituencyPlan::Impl::tensor(std::string_view name) const {
  const at::Tensor* found = detail::find_tensor(tensors, name);
  if (found == nullptr) {
    throw ConstituencyModelError("missing constituency tensor: '" + std::string(name) + "'");
  }
  return *found;
}

void ConstituencyPlan::Impl::bind_tensors() {
  tensors = detail::bind_bundle_tensors<ConstituencyModelError>(*bundle);
}

void ConstituencyPlan::Impl::check_tensors() const {
  tensor("embedding.weight");
  tensor("delta_embedding.weight");
  if (tag_embedding_dim >= 1) {
    tensor("tag_embedding.weight");
  }
  for (const char* name :
       {"word_to_constituent.weight", "word_to_constituent.bias", "transition_embedding.weight",
        "dummy_embedding.weight", "reduce_linear.weight", "reduce_linear.bias"}) {
    tensor(name);
  }
  if (boundary_vectors) {
    for (const char* name :
         {"word_start_embedding", "word_end_embedding", "transition_stack.start_embedding",
          "constituent_stack.start_embedding"}) {
      tensor(name);
    }
  }
  // Layer by layer: the word LSTM's eight, then each stack's four.
  const std::vector<std::string> word =
      detail::lstm_parameter_names(kWordLstm, {num_lstm_layers, true});
  const std::vector<std::string> transition =
      detail::lstm_parameter_names(kTransitionLstm, {num_lstm_layers, false});
  const std::vector<std::string> constituent =
      detail::lstm_parameter_names(kConstituentLstm, {num_lstm_layers, false});
  for (std::size_t layer = 0; layer < static_cast<std::size_t>(num_lstm_layers); ++layer) {
    for (std::size_t i = 0; i < 8; ++i) {
      tensor(word[8 * layer + i]);
    }
    for (const auto* names : {&transition, &constituent}) {
      for (std::size_t i = 0; i < 4; ++i) {
        tensor((*names)[4 * layer + i]);
      }
    }
  }
  for (std::int64_t i = 0; i < num_output_layers; ++i) {
    tensor("output_layers." + std::to_string(i) + ".weight");
    tensor("output_layers." + std::to_string(i) + ".bias");
  }

  if (tensor("embedding.weight").size(0) != static_cast<std::int64_t>(pretrain_vocab.size()) ||
      tensor("delta_embedding.weight").size(0) != rows_for_ids(delta_vocab) ||
      (tag_embedding_dim >= 1 &&
       tensor("tag_embedding.weight").size(0) != rows_for_ids(tag_vocab)) ||
      tensor("transition_embedding.weight").size(0) !=
          static_cast<std::int64_t>(transitions.size())) {
    throw ConstituencyModelError("constituency vocabularies disagree with embedding rows");
  }
  const at::Tensor& reduce = tensor("reduce_linear.weight");
  if (tensor("dummy_embedding.weight").size(1) != hidden_size ||
      tensor("word_to_constituent.weight").size(0) != hidden_size || reduce.dim() != 2 ||
      reduce.size(0) != hidden_size || reduce.size(1) != hidden_size) {
    throw ConstituencyModelError("constituency hidden dimensions disagree");
  }
}

std::vector<at::Tensor> ConstituencyPlan::Impl::lstm_weights(const std::string& prefix,
                                                             bool bidirectional) const {
  std::vector<at::Tensor> weights;
  for (const std::string& name :
       detail::lstm_parameter_names(prefix, {num_lstm_layers, bidirectional})) {
    weights.push_back(tensor(name));
  }
  return weights;
}

void ConstituencyPlan::Impl::bind_recurrent_weights() {
  word_lstm_weights = lstm_weights(kWordLstm, true);
  transition_lstm_weights = lstm_weights(kTransitionLstm, false);
  constituent_lstm_weights = lstm_weights(kConstituentLstm, false);

  const at::TensorOptions options = tensor("embedding.weight").options();
  const auto zeros = [&](std::int64_t layers, std::int64_t width) {
    return std::vector<at::Tensor>{at::zeros({layers, 1, width}, options),
                                   at::zeros({layers, 1, width}, options)};
  };
  word_lstm_init = zeros(2 * num_lstm_layers, hidden_size);
  transition_lstm_init = zeros(num_lstm_layers, transition_hidden_size);
  constituent_lstm_init = zeros(num_lstm_layers, hidden_size);

  output_layers.reserve(static_cast<std::size_t>(num_output_layers));
  for (std::int64_t i = 0; i < num_output_layers; ++i) {
    const std::string prefix = "output_layers." + std::to_string(i);
    output_layers.emplace_back(tensor(prefix + ".weight"), tensor(prefix + ".bias"));
  }
}

} // namespace velmora
