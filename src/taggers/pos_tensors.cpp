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

// Every shape the word encoder and the heads rely on, and one floating type
// for all of them, checked after the checks the vocabularies name.
void POSPlan::Impl::check_shapes(std::int64_t input_width) const {
  using detail::Extent;
  using detail::extent_of;
  const detail::TensorContract<POSModelError> contract(
      "POS", [this](std::string_view name) -> const at::Tensor& { return tensor(name); },
      tensor("word_emb.weight").scalar_type());
  if (!detail::is_floating(tensor("word_emb.weight"))) {
    throw POSModelError(detail::dtype_disagreement("POS", "word_emb.weight"));
  }
  const std::int64_t both = detail::checked_product({2, hidden_dim});
  const std::int64_t tags = detail::checked_sum({tag_emb_dim, 1});
  const auto count = [](const auto& container) {
    return static_cast<std::int64_t>(container.size());
  };
  // Unknown words read row 1.
  constexpr std::int64_t kReadRows = detail::kUnknownId + 1;
  contract.embedding("word_emb.weight", word_emb_dim, word_vocab, kReadRows);
  contract.pretrained(pretrain_vocab, transformed_dim, kReadRows);
  if (!use_charlm) {
    contract.character_model(char_emb_dim, char_hidden_dim, transformed_dim, char_vocab, kReadRows);
  } else if (charlm_transform_dim >= 1) {
    contract.require("charmodel_forward_transform.weight",
                     {charlm_transform_dim, charlm_forward->hidden_size()});
    contract.require("charmodel_backward_transform.weight",
                     {charlm_transform_dim, charlm_backward->hidden_size()});
  }
  contract.highway_stack(kStack, num_layers, input_width, hidden_dim);

  const auto head = [&](const std::string& hidden_layer) {
    const std::int64_t width = extent_of(tensor(hidden_layer + ".weight"), 0);
    contract.require(hidden_layer + ".weight", {width, both});
    contract.require(hidden_layer + ".bias", {width});
    return width;
  };
  const std::int64_t upos_width = head("upos_hid");
  contract.require("upos_clf.weight", {count(upos_labels), upos_width});
  contract.require("upos_clf.bias", {count(upos_labels)});
  contract.require("upos_emb.weight", {count(upos_labels), tag_emb_dim});
  const auto bilinear = [&](const std::string& prefix, Extent outputs, std::int64_t left) {
    const at::Tensor& weight = contract.require(prefix + ".W_bilin.weight",
                                                {outputs, detail::checked_sum({left, 1}), tags});
    contract.require(prefix + ".W_bilin.bias", {weight.size(0)});
  };
  const std::int64_t xpos_width = head("xpos_hid");
  if (!composite_xpos) {
    bilinear("xpos_clf", count(xpos_labels), xpos_width);
  } else {
    for (std::size_t k = 0; k < xpos_component_labels.size(); ++k) {
      bilinear("xpos_clf." + std::to_string(k), count(xpos_component_labels[k]), xpos_width);
    }
  }
  const std::int64_t feats_width = head("ufeats_hid");
  for (std::size_t column = 0; column < feats_columns.size(); ++column) {
    bilinear("ufeats_clf." + std::to_string(column), Extent::any(), feats_width);
  }
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
  using detail::extent_of;
  const at::Tensor& word_emb = tensor("word_emb.weight");
  if (extent_of(word_emb, 0) != count(word_vocab) || extent_of(word_emb, 1) != word_emb_dim ||
      extent_of(tensor("pretrained_emb.weight"), 0) != count(pretrain_vocab) ||
      extent_of(tensor("upos_clf.weight"), 0) != count(upos_labels)) {
    throw POSModelError("POS tensor dimensions disagree with bundled vocabularies");
  }
  if (!composite_xpos) {
    if (extent_of(tensor("xpos_clf.W_bilin.weight"), 0) != count(xpos_labels)) {
      throw POSModelError("XPOS tensor dimensions disagree with its vocabulary");
    }
  } else {
    for (std::size_t k = 0; k < xpos_component_labels.size(); ++k) {
      if (extent_of(tensor("xpos_clf." + std::to_string(k) + ".W_bilin.weight"), 0) !=
          count(xpos_component_labels[k])) {
        throw POSModelError("composite XPOS tensor dimensions disagree with its vocabulary");
      }
    }
  }
  if (!use_charlm && extent_of(tensor("charmodel.char_emb.weight"), 0) != count(char_vocab)) {
    throw POSModelError("POS character tensor dimensions disagree with its vocabulary");
  }

  // Configured sizes come from a file: their sums are checked.
  std::int64_t character_width = transformed_dim;
  if (use_charlm) {
    character_width =
        charlm_transform_dim >= 1
            ? detail::checked_product({2, charlm_transform_dim})
            : detail::checked_sum({charlm_forward->hidden_size(), charlm_backward->hidden_size()});
  }
  const std::int64_t transformer_width = use_transformer ? transformer->hidden_size() : 0;
  const std::int64_t input_width =
      detail::checked_sum({word_emb_dim, character_width, transformed_dim, transformer_width});
  if (input_width < 0 ||
      extent_of(tensor("taggerlstm.lstm.0.lstm.weight_ih_l0"), 1) != input_width) {
    throw POSModelError("POS tagger input size disagrees with its embedding profile");
  }
  check_shapes(input_width);

  const detail::TensorLookup lookup = [this](std::string_view name) -> const at::Tensor& {
    return tensor(name);
  };
  if (!use_charlm) {
    detail::cache_character_lstm(lookup, char_lstm_weights, char_lstm_init);
  }
  tagger_layers = detail::highway_layers(lookup, kStack, num_layers);
}

} // namespace velmora
