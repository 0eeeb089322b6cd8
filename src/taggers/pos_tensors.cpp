// The tensor set of a "pos" bundle: binding every tensor as a view, checking
// the ones the tagger needs against the vocabularies, and caching the
// recurrent weights.

#include "taggers/pos_impl.hpp"
#include "taggers/tagger_assets.hpp"

namespace velmora {
namespace {

constexpr const char* kStack = "taggerlstm";

} // namespace

const at::Tensor& POSPlan::Impl::tensor(std::string_view name) const {
  const at::Tensor* found = detail::find_tensor(tensors, name);
  if (found == nullptr) {
    throw POSModelError("missing POS tensor: '" + std::string(name) + "'");
  }
  return *found;
}

void POSPlan::Impl::bind_tensors() {
  tensors = detail::bind_bundle_tensors<POSModelError>(*bundle);
}

void POSPlan::Impl::check_tensors() {
  for (const char* name :
       {"word_emb.weight", "pretrained_emb.weight", "trans_pretrained.weight", "taggerlstm_h_init",
        "taggerlstm_c_init", "upos_hid.weight", "upos_hid.bias", "upos_clf.weight", "upos_clf.bias",
        "upos_emb.weight", "xpos_hid.weight", "xpos_hid.bias", "ufeats_hid.weight",
        "ufeats_hid.bias"}) {
    tensor(name);
  }
  if (!composite_xpos) {
    tensor("xpos_clf.W_bilin.weight");
    tensor("xpos_clf.W_bilin.bias");
  } else {
    for (std::size_t k = 0; k < xpos_component_labels.size(); ++k) {
      tensor("xpos_clf." + std::to_string(k) + ".W_bilin.weight");
      tensor("xpos_clf." + std::to_string(k) + ".W_bilin.bias");
    }
  }
  if (!use_charlm) {
    for (const std::string& name : detail::character_model_tensor_names()) {
      tensor(name);
    }
  } else if (charlm_transform_dim >= 1) {
    tensor("charmodel_forward_transform.weight");
    tensor("charmodel_backward_transform.weight");
  }
  for (std::int64_t layer = 0; layer < num_layers; ++layer) {
    for (const std::string& name : detail::highway_layer_tensor_names(kStack, layer)) {
      tensor(name);
    }
  }
  for (std::size_t column = 0; column < feats_columns.size(); ++column) {
    tensor("ufeats_clf." + std::to_string(column) + ".W_bilin.weight");
    tensor("ufeats_clf." + std::to_string(column) + ".W_bilin.bias");
  }

  const auto count = [](const auto& container) {
    return static_cast<std::int64_t>(container.size());
  };
  const at::Tensor& word_emb = tensor("word_emb.weight");
  if (word_emb.size(0) != count(word_vocab) || word_emb.size(1) != word_emb_dim ||
      tensor("pretrained_emb.weight").size(0) != count(pretrain_vocab) ||
      tensor("upos_clf.weight").size(0) != count(upos_labels)) {
    throw POSModelError("POS tensor dimensions disagree with bundled vocabularies");
  }
  if (!composite_xpos) {
    if (tensor("xpos_clf.W_bilin.weight").size(0) != count(xpos_labels)) {
      throw POSModelError("XPOS tensor dimensions disagree with its vocabulary");
    }
  } else {
    for (std::size_t k = 0; k < xpos_component_labels.size(); ++k) {
      if (tensor("xpos_clf." + std::to_string(k) + ".W_bilin.weight").size(0) !=
          count(xpos_component_labels[k])) {
        throw POSModelError("composite XPOS tensor dimensions disagree with its vocabulary");
      }
    }
  }
  if (!use_charlm && tensor("charmodel.char_emb.weight").size(0) != count(char_vocab)) {
    throw POSModelError("POS character tensor dimensions disagree with its vocabulary");
  }

  std::int64_t character_width = transformed_dim;
  if (use_charlm) {
    character_width = charlm_transform_dim >= 1
                          ? 2 * charlm_transform_dim
                          : charlm_forward->hidden_size() + charlm_backward->hidden_size();
  }
  const std::int64_t transformer_width = use_transformer ? transformer->hidden_size() : 0;
  if (tensor("taggerlstm.lstm.0.lstm.weight_ih_l0").size(1) !=
      word_emb_dim + character_width + transformed_dim + transformer_width) {
    throw POSModelError("POS tagger input size disagrees with its embedding profile");
  }

  const detail::TensorLookup lookup = [this](std::string_view name) -> const at::Tensor& {
    return tensor(name);
  };
  if (!use_charlm) {
    detail::cache_character_lstm(lookup, char_lstm_weights, char_lstm_init);
  }
  tagger_layers = detail::highway_layers(lookup, kStack, num_layers);
}

} // namespace velmora
