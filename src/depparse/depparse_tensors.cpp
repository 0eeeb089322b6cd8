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

  // Configured sizes come from a file: their sums are checked.
  using detail::extent_of;
  const std::int64_t character_width =
      use_charlm
          ? detail::checked_sum({charlm_forward->hidden_size(), charlm_backward->hidden_size()})
          : transformed_dim;
  const std::int64_t transformer_width = use_transformer ? transformer->hidden_size() : 0;
  const std::int64_t input_width = detail::checked_sum(
      {detail::checked_product({2, word_emb_dim}), detail::checked_product({2, tag_emb_dim}),
       transformed_dim, character_width, transformer_width});
  const std::int64_t relations = count(deprel_labels) - 4;
  const at::Tensor& word_emb = tensor("word_emb.weight");
  const at::Tensor& lemma_emb = tensor("lemma_emb.weight");
  // The relation scorer's bias and its weight's output axis must both match
  // the label list: decoding names relation r by label r + 4.
  if (extent_of(word_emb, 0) != count(word_vocab) || extent_of(word_emb, 1) != word_emb_dim ||
      extent_of(lemma_emb, 0) != count(lemma_vocab) || extent_of(lemma_emb, 1) != word_emb_dim ||
      extent_of(tensor("upos_emb.weight"), 0) != count(upos_vocab) ||
      extent_of(tensor("pretrained_emb.weight"), 0) != count(pretrain_vocab) || input_width < 0 ||
      extent_of(tensor("parserlstm.lstm.0.lstm.weight_ih_l0"), 1) != input_width ||
      extent_of(tensor("deprel.scorer.W_bilin.bias"), 0) != relations ||
      extent_of(tensor("deprel.scorer.W_bilin.weight"), 2) != relations) {
    throw DepparseModelError(kDimensionsMessage);
  }
  if (!composite_xpos) {
    if (extent_of(tensor("xpos_emb.weight"), 0) != count(xpos_vocab)) {
      throw DepparseModelError("XPOS embedding dimensions disagree with its vocabulary");
    }
  } else {
    for (std::size_t k = 0; k < xpos_component_vocabs.size(); ++k) {
      if (extent_of(tensor("xpos_emb." + std::to_string(k) + ".weight"), 0) !=
          count(xpos_component_vocabs[k])) {
        throw DepparseModelError(
            "composite XPOS embedding dimensions disagree with its vocabulary");
      }
    }
  }
  if (!use_charlm && extent_of(tensor("charmodel.char_emb.weight"), 0) != count(char_vocab)) {
    throw DepparseModelError("depparse character tensor dimensions disagree with its vocabulary");
  }
  check_shapes(input_width, relations);
}

// Every shape the inputs and the scorers rely on, in the float32 the decoder
// reads, checked after the checks the vocabularies name.
void DepparsePlan::Impl::check_shapes(std::int64_t input_width, std::int64_t relations) const {
  using detail::Extent;
  const detail::TensorContract<DepparseModelError> contract(
      "depparse", [this](std::string_view name) -> const at::Tensor& { return tensor(name); },
      at::kFloat);
  // The root reads row 3 of every embedding, unknown units row 1.
  constexpr std::int64_t kReadRows = detail::kRootId + 1;
  contract.embedding("word_emb.weight", word_emb_dim, word_vocab, kReadRows);
  contract.embedding("lemma_emb.weight", word_emb_dim, lemma_vocab, kReadRows);
  contract.embedding("upos_emb.weight", tag_emb_dim, upos_vocab, kReadRows);
  if (!composite_xpos) {
    contract.embedding("xpos_emb.weight", tag_emb_dim, xpos_vocab, kReadRows);
  } else {
    for (std::size_t k = 0; k < xpos_component_vocabs.size(); ++k) {
      contract.embedding("xpos_emb." + std::to_string(k) + ".weight", tag_emb_dim,
                         xpos_component_vocabs[k], kReadRows);
    }
  }
  contract.pretrained(pretrain_vocab, transformed_dim, kReadRows);
  if (!use_charlm) {
    contract.character_model(char_emb_dim, char_hidden_dim, transformed_dim, char_vocab, kReadRows);
  }
  contract.highway_stack(kStack, num_layers, input_width, hidden_dim);

  const std::int64_t both = detail::checked_product({2, hidden_dim});
  const std::int64_t side = detail::checked_sum({deep_biaff_hidden_dim, 1});
  const auto biaffine = [&](const std::string& prefix, std::int64_t outputs) {
    for (const char* half : {".W1", ".W2"}) {
      contract.require(prefix + half + ".weight", {deep_biaff_hidden_dim, both});
      contract.require(prefix + half + ".bias", {deep_biaff_hidden_dim});
    }
    contract.require(prefix + ".scorer.W_bilin.weight", {side, side, outputs});
    contract.require(prefix + ".scorer.W_bilin.bias", {outputs});
  };
  biaffine("unlabeled", 1);
  biaffine("deprel", relations);
  if (linearization) {
    biaffine("linearization", 1);
  }
  if (distance) {
    biaffine("distance", 1);
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
