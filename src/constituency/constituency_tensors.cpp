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

constexpr const char* kModel = "constituency";
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
  // Layer by layer: the word LSTM's eight, then each stack's four; a huge
  // configured layer count ends at its first missing tensor.
  for (std::int64_t layer = 0; layer < num_lstm_layers; ++layer) {
    for (const auto& [prefix, bidirectional] :
         {std::pair{kWordLstm, true}, {kTransitionLstm, false}, {kConstituentLstm, false}}) {
      for (const std::string& name :
           detail::lstm_layer_parameter_names(prefix, layer, bidirectional)) {
        tensor(name);
      }
    }
  }
  for (std::int64_t i = 0; i < num_output_layers; ++i) {
    tensor("output_layers." + std::to_string(i) + ".weight");
    tensor("output_layers." + std::to_string(i) + ".bias");
  }

  // A tensor without the axis a check reads fails that check.
  using detail::extent_of;
  if (extent_of(tensor("embedding.weight"), 0) !=
          static_cast<std::int64_t>(pretrain_vocab.size()) ||
      extent_of(tensor("delta_embedding.weight"), 0) != rows_for_ids(delta_vocab) ||
      (tag_embedding_dim >= 1 &&
       extent_of(tensor("tag_embedding.weight"), 0) != rows_for_ids(tag_vocab)) ||
      extent_of(tensor("transition_embedding.weight"), 0) !=
          static_cast<std::int64_t>(transitions.size())) {
    throw ConstituencyModelError("constituency vocabularies disagree with embedding rows");
  }
  const at::Tensor& reduce = tensor("reduce_linear.weight");
  if (extent_of(tensor("dummy_embedding.weight"), 1) != hidden_size ||
      extent_of(tensor("word_to_constituent.weight"), 0) != hidden_size || reduce.dim() != 2 ||
      reduce.size(0) != hidden_size || reduce.size(1) != hidden_size) {
    throw ConstituencyModelError("constituency hidden dimensions disagree");
  }
  check_network();
}

// Everything the parser multiplies, after the checks above: one floating
// type (the pretrained embedding's), which the language models' and the
// transformer's rows must not widen; rows for every pretrained id and for the
// unknown id; and the shape of every tensor the encoder and the two stacks
// read (the LSTM kernels trust their weights' shapes). The last output layer
// may have any number of rows: scoring refuses a width other than the
// transition count.
void ConstituencyPlan::Impl::check_network() const {
  const at::Tensor& embedding = tensor("embedding.weight");
  if (!detail::is_floating(embedding)) {
    throw ConstituencyModelError(detail::dtype_disagreement(kModel, "embedding.weight"));
  }
  const detail::TensorContract<ConstituencyModelError> contract(
      kModel, [this](std::string_view name) -> const at::Tensor& { return tensor(name); },
      embedding.scalar_type());
  constexpr std::int64_t kReadRows = detail::kUnknownId + 1;
  const std::int64_t pretrained_width = detail::extent_of(embedding, 1);
  contract.embedding("embedding.weight", pretrained_width, pretrain_vocab, kReadRows);
  contract.embedding("delta_embedding.weight", delta_embedding_dim, delta_vocab, kReadRows);
  std::int64_t width = detail::checked_sum({pretrained_width, delta_embedding_dim});
  if (tag_embedding_dim >= 1) {
    contract.embedding("tag_embedding.weight", tag_embedding_dim, tag_vocab, kReadRows);
    width = detail::checked_sum({width, tag_embedding_dim});
  }
  for (const auto& [model, name] :
       {std::pair{charlm_forward.get(), "forward_charlm.char_emb.weight"},
        {charlm_backward.get(), "backward_charlm.char_emb.weight"}}) {
    if (model != nullptr) {
      contract.joins(name, tensor(name).scalar_type());
      width = detail::checked_sum({width, model->hidden_size()});
    }
  }
  if (boundary_vectors) {
    contract.values("word_start_embedding", width);
    contract.values("word_end_embedding", width);
  }
  if (transformer) {
    contract.joins("embedding.weight", at::kFloat);
    width = detail::checked_sum({width, transformer->hidden_size()});
  }
  contract.lstm(kWordLstm, {num_lstm_layers, true}, width, hidden_size);
  contract.require("word_to_constituent.weight",
                   {hidden_size, detail::checked_product({2, hidden_size})});
  contract.require("word_to_constituent.bias", {hidden_size});

  contract.require("transition_embedding.weight",
                   {static_cast<std::int64_t>(transitions.size()), transition_embedding_dim});
  contract.lstm(kTransitionLstm, {num_lstm_layers, false}, transition_embedding_dim,
                transition_hidden_size);
  contract.lstm(kConstituentLstm, {num_lstm_layers, false}, hidden_size, hidden_size);
  if (boundary_vectors) {
    contract.values("transition_stack.start_embedding", transition_embedding_dim);
    contract.values("constituent_stack.start_embedding", hidden_size);
  }
  contract.require("dummy_embedding.weight", {detail::Extent::any(), hidden_size});
  contract.require("reduce_linear.weight", {hidden_size, hidden_size});
  contract.require("reduce_linear.bias", {hidden_size});

  std::int64_t input = detail::checked_sum({hidden_size, transition_hidden_size, hidden_size});
  for (std::int64_t i = 0; i < num_output_layers; ++i) {
    const std::string prefix = "output_layers." + std::to_string(i);
    const at::Tensor& weight = contract.require(prefix + ".weight", {detail::Extent::any(), input});
    input = weight.size(0);
    contract.require(prefix + ".bias", {input});
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
