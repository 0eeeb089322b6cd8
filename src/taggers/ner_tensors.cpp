// The tensor set of an "ner" bundle: presence in a fixed order, dimensions
// against the configuration and vocabularies, the types, ids and shapes the
// network relies on, and the recurrent parameter lists.

#include "encoders/lstm.hpp"
#include "taggers/ner_impl.hpp"
#include "taggers/tagger_assets.hpp"

namespace velmora {
namespace {

using detail::extent_of;

constexpr const char* kCharacterLstm = "charmodel.charlstm.lstm.";
constexpr const char* kTaggerLstm = "taggerlstm.lstm.";

std::int64_t count(const detail::UnitMap& vocabulary) {
  return static_cast<std::int64_t>(vocabulary.size());
}

} // namespace

const at::Tensor& NERPlan::Impl::tensor(std::string_view name) const {
  const at::Tensor* found = detail::find_tensor(tensors, name);
  if (found == nullptr) {
    throw NERModelError("missing NER tensor: '" + std::string(name) + "'");
  }
  return *found;
}

std::vector<at::Tensor> NERPlan::Impl::load_lstm_weights(const std::string& prefix,
                                                         std::int64_t layers) const {
  // Layer by layer, so that a bundle claiming absurdly many layers fails at
  // its first missing tensor.
  std::vector<at::Tensor> weights;
  for (std::int64_t layer = 0; layer < layers; ++layer) {
    for (const std::string& name : detail::lstm_layer_parameter_names(prefix, layer, true)) {
      weights.push_back(tensor(name));
    }
  }
  return weights;
}

void NERPlan::Impl::validate_tensors() const {
  for (const char* name :
       {"word_emb.weight", "delta_emb.weight", "taggerlstm_h_init", "taggerlstm_c_init"}) {
    tensor(name);
  }
  if (!charlm) {
    for (const char* name :
         {"charmodel.char_emb.weight", "charmodel.charlstm_h_init", "charmodel.charlstm_c_init"}) {
      tensor(name);
    }
    load_lstm_weights(kCharacterLstm, char_num_layers);
  }
  load_lstm_weights(kTaggerLstm, num_layers);
  if (input_transform) {
    tensor("input_transform.weight");
    tensor("input_transform.bias");
  }
  for (std::size_t k = 0; k < tag_columns.size(); ++k) {
    const std::string column = std::to_string(k);
    tensor("tag_clfs." + column + ".weight");
    tensor("tag_clfs." + column + ".bias");
    tensor("crits." + column + "._transitions");
  }

  const at::Tensor& word_emb = tensor("word_emb.weight");
  const at::Tensor& delta_emb = tensor("delta_emb.weight");
  if (extent_of(word_emb, 0) != count(word_vocab) || extent_of(word_emb, 1) != word_emb_dim ||
      extent_of(delta_emb, 0) != count(delta_vocab) || extent_of(delta_emb, 1) != word_emb_dim) {
    throw NERModelError("NER embedding dimensions disagree with bundled vocabularies");
  }
  if (!charlm) {
    const at::Tensor& char_emb = tensor("charmodel.char_emb.weight");
    if (extent_of(char_emb, 0) != count(char_vocab) || extent_of(char_emb, 1) != char_emb_dim) {
      throw NERModelError("NER character embedding dimensions disagree with its vocabulary");
    }
  }

  // The configuration may claim any size: a sum that would overflow becomes
  // -1, which matches no tensor.
  const std::int64_t width = detail::checked_sum(
      {word_emb_dim, use_transformer ? transformer->hidden_size() : 0,
       charlm ? detail::checked_sum({charlm_forward->hidden_size(), charlm_backward->hidden_size()})
              : detail::checked_product({2, char_hidden_dim})});
  if (input_transform) {
    const at::Tensor& weight = tensor("input_transform.weight");
    if (extent_of(weight, 0) != width || extent_of(weight, 1) != width ||
        extent_of(tensor("input_transform.bias"), 0) != width) {
      throw NERModelError("NER tagger input size disagrees with its embedding profile");
    }
  }
  if (width < 0 || extent_of(tensor("taggerlstm.lstm.weight_ih_l0"), 1) != width) {
    throw NERModelError("NER tagger input size disagrees with its embedding profile");
  }

  for (std::size_t k = 0; k < tag_columns.size(); ++k) {
    const std::string column = std::to_string(k);
    const auto tags = static_cast<std::int64_t>(tag_columns[k].size());
    const at::Tensor& transitions = tensor("crits." + column + "._transitions");
    if (extent_of(tensor("tag_clfs." + column + ".weight"), 0) != tags ||
        extent_of(tensor("tag_clfs." + column + ".bias"), 0) != tags ||
        extent_of(transitions, 0) != tags || extent_of(transitions, 1) != tags) {
      throw NERModelError("NER classifier dimensions disagree with tag vocabulary");
    }
  }
}

// What the network multiplies, checked after the checks above: one floating
// type throughout (the static embedding's), rows for every vocabulary id and
// for the ids the encoder reads whatever the vocabularies hold, and the
// shapes of every tensor the network reads. The LSTM kernels trust the
// weights' shapes (see lstm_shape_mismatch): the character LSTM runs over
// char_emb_dim-wide embeddings with char_hidden_dim units (its two final
// states fill the 2 x char_hidden_dim the tagger input counts); the tagger
// LSTM over the checked input width, with as many units as its first hidden
// weight has columns, and the heads that run read its two directions.
void NERPlan::Impl::check_network() const {
  const at::Tensor& word_emb = tensor("word_emb.weight");
  if (!detail::is_floating(word_emb)) {
    throw NERModelError(detail::dtype_disagreement("NER", "word_emb.weight"));
  }
  const detail::TensorContract<NERModelError> contract(
      "NER", [this](std::string_view name) -> const at::Tensor& { return tensor(name); },
      word_emb.scalar_type());
  // An unknown word reads row 1 of each embedding, a word only the static
  // vocabulary knows row 0 of the delta one.
  constexpr std::int64_t kReadRows = detail::kUnknownId + 1;
  contract.embedding("word_emb.weight", word_emb_dim, word_vocab, kReadRows);
  contract.embedding("delta_emb.weight", word_emb_dim, delta_vocab, kReadRows);

  const auto recurrent = [&](const std::string& prefix, std::int64_t layers, std::int64_t input,
                             std::int64_t hidden, const char* h_init, const char* c_init) {
    contract.lstm(prefix, {layers, true}, input, hidden);
    const std::int64_t rows = detail::checked_product({2, layers});
    contract.require(h_init, {rows, 1, hidden});
    contract.require(c_init, {rows, 1, hidden});
  };
  if (!charlm) {
    contract.embedding("charmodel.char_emb.weight", char_emb_dim, char_vocab, kReadRows);
    recurrent(kCharacterLstm, char_num_layers, char_emb_dim, char_hidden_dim,
              "charmodel.charlstm_h_init", "charmodel.charlstm_c_init");
  } else {
    for (const char* name :
         {"charmodel_forward.char_emb.weight", "charmodel_backward.char_emb.weight"}) {
      contract.joins(name, tensor(name).scalar_type());
    }
  }
  if (use_transformer) {
    contract.joins("word_emb.weight", at::kFloat);
  }
  const std::int64_t width = tensor("taggerlstm.lstm.weight_ih_l0").size(1);
  if (input_transform) {
    contract.require("input_transform.weight", {width, width});
    contract.require("input_transform.bias", {width});
  }
  const std::int64_t hidden = extent_of(tensor("taggerlstm.lstm.weight_hh_l0"), 1);
  recurrent(kTaggerLstm, num_layers, width, hidden, "taggerlstm_h_init", "taggerlstm_c_init");

  // Only the heads that run: the predicted one, and with connected layers
  // every one before it, each reading the scores of the one before.
  const std::int64_t both = detail::checked_product({2, hidden});
  const auto tag_count = [this](std::size_t k) {
    return static_cast<std::int64_t>(tag_columns[k].size());
  };
  const auto p = static_cast<std::size_t>(predict_tagset);
  for (std::size_t k = connect_output_layers ? 0 : p; k <= p; ++k) {
    const std::string column = std::to_string(k);
    const std::int64_t tags = tag_count(k);
    const std::int64_t input =
        connect_output_layers && k > 0 ? detail::checked_sum({both, tag_count(k - 1)}) : both;
    contract.require("tag_clfs." + column + ".weight", {tags, input});
    contract.require("tag_clfs." + column + ".bias", {tags});
  }
}

} // namespace velmora
