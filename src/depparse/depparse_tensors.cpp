// The tensor set of a "depparse" bundle: binding every tensor as a view,
// checking the ones the parser needs against the configuration and the
// vocabularies, and caching the recurrent weights.

#include "depparse/depparse_impl.hpp"
#include "taggers/tagger_assets.hpp"

namespace velmora {
namespace {

constexpr const char* kBiaffineSuffixes[] = {
    ".W1.weight",          ".W1.bias", ".W2.weight", ".W2.bias", ".scorer.W_bilin.weight",
    ".scorer.W_bilin.bias"};

constexpr const char* kStack = "parserlstm";

constexpr const char* kDimensionsMessage =
    "depparse tensor dimensions disagree with bundled configuration or vocabularies";

std::int64_t count(const auto& container) {
  return static_cast<std::int64_t>(container.size());
}

} // namespace

const at::Tensor& DepparsePlan::Impl::tensor(std::string_view name) const {
  const at::Tensor* found = detail::find_tensor(tensors, name);
  if (found == nullptr) {
    throw DepparseModelError("missing depparse tensor: '" + std::string(name) + "'");
  }
  return *found;
}

void DepparsePlan::Impl::bind_tensors() {
  tensors = detail::bind_bundle_tensors<DepparseModelError>(*bundle);
}

void DepparsePlan::Impl::require_biaffine(const std::string& prefix) const {
  for (const char* suffix : kBiaffineSuffixes) {
    tensor(prefix + suffix);
  }
}

void DepparsePlan::Impl::validate_tensors() const {
  for (const char* name :
       {"word_emb.weight", "lemma_emb.weight", "upos_emb.weight", "pretrained_emb.weight",
        "trans_pretrained.weight", "parserlstm_h_init", "parserlstm_c_init"}) {
    tensor(name);
  }
  require_biaffine("unlabeled");
  require_biaffine("deprel");
  if (!composite_xpos) {
    tensor("xpos_emb.weight");
  } else {
    for (std::size_t k = 0; k < xpos_component_vocabs.size(); ++k) {
      tensor("xpos_emb." + std::to_string(k) + ".weight");
    }
  }
  if (!use_charlm) {
    for (const std::string& name : detail::character_model_tensor_names()) {
      tensor(name);
    }
  }
  for (std::int64_t layer = 0; layer < num_layers; ++layer) {
    for (const std::string& name : detail::highway_layer_tensor_names(kStack, layer)) {
      tensor(name);
    }
  }
  if (linearization) {
    require_biaffine("linearization");
  }
  if (distance) {
    require_biaffine("distance");
  }
  for (std::int64_t k = 0; k < feats_category_count; ++k) {
    tensor("ufeats_emb." + std::to_string(k) + ".weight");
  }

  const std::int64_t character_width =
      use_charlm ? charlm_forward->hidden_size() + charlm_backward->hidden_size() : transformed_dim;
  const std::int64_t transformer_width = use_transformer ? transformer->hidden_size() : 0;
  const std::int64_t input_width =
      2 * word_emb_dim + 2 * tag_emb_dim + transformed_dim + character_width + transformer_width;
  const std::int64_t relations = count(deprel_labels) - 4;
  const at::Tensor& word_emb = tensor("word_emb.weight");
  const at::Tensor& lemma_emb = tensor("lemma_emb.weight");
  // The relation scorer's bias and its weight's output axis must both match
  // the label list: decoding names relation r by label r + 4.
  if (word_emb.size(0) != count(word_vocab) || word_emb.size(1) != word_emb_dim ||
      lemma_emb.size(0) != count(lemma_vocab) || lemma_emb.size(1) != word_emb_dim ||
      tensor("upos_emb.weight").size(0) != count(upos_vocab) ||
      tensor("pretrained_emb.weight").size(0) != count(pretrain_vocab) ||
      tensor("parserlstm.lstm.0.lstm.weight_ih_l0").size(1) != input_width ||
      tensor("deprel.scorer.W_bilin.bias").size(0) != relations ||
      tensor("deprel.scorer.W_bilin.weight").size(2) != relations) {
    throw DepparseModelError(kDimensionsMessage);
  }
  if (!composite_xpos) {
    if (tensor("xpos_emb.weight").size(0) != count(xpos_vocab)) {
      throw DepparseModelError("XPOS embedding dimensions disagree with its vocabulary");
    }
  } else {
    for (std::size_t k = 0; k < xpos_component_vocabs.size(); ++k) {
      if (tensor("xpos_emb." + std::to_string(k) + ".weight").size(0) !=
          count(xpos_component_vocabs[k])) {
        throw DepparseModelError(
            "composite XPOS embedding dimensions disagree with its vocabulary");
      }
    }
  }
  if (!use_charlm && tensor("charmodel.char_emb.weight").size(0) != count(char_vocab)) {
    throw DepparseModelError("depparse character tensor dimensions disagree with its vocabulary");
  }
}

void DepparsePlan::Impl::cache_recurrent_weights() {
  const detail::TensorLookup lookup = [this](std::string_view name) -> const at::Tensor& {
    return tensor(name);
  };
  if (!use_charlm) {
    detail::cache_character_lstm(lookup, char_lstm_weights, char_lstm_init);
  }
  parser_layers = detail::highway_layers(lookup, kStack, num_layers);
  relation_weights = detail::RelationWeights::bind(
      tensor("deprel.W1.weight"), tensor("deprel.W1.bias"), tensor("deprel.W2.weight"),
      tensor("deprel.W2.bias"), tensor("deprel.scorer.W_bilin.weight"),
      tensor("deprel.scorer.W_bilin.bias"));
}

} // namespace velmora
