// Loading a "coref" bundle: configuration, tensor views, the transformer, its
// special ids, the fixed subword ids of listed words, and the types and
// shapes of every tensor the model reads.

#include <optional>
#include <string>
#include <utility>

#include <velmora/json.hpp>

#include "bundle/config_bounds.hpp"
#include "bundle/tensor_checks.hpp"
#include "bundle/tensor_view.hpp"
#include "coref/coref_impl.hpp"
#include "taggers/tagger_assets.hpp"

namespace velmora {
namespace {

using detail::JsonValue;

std::int64_t required_config_int(const JsonValue& config, const std::string& key) {
  return config.at(key, "assets.config").as_integer("assets.config." + key);
}

std::int64_t tokenizer_id(const JsonValue& tokenizer, const std::string& key) {
  return tokenizer.at(key, "assets.transformer.tokenizer")
      .as_integer("assets.transformer.tokenizer." + key);
}

// Every name the model reads, checked in this order as it is named: a huge
// configured layer count ends at its first missing layer instead of listing
// names the bundle cannot hold.
void check_required_tensors(const CorefPlan::Impl& impl) {
  for (const char* name : {"we.attn.weight",
                           "we.attn.bias",
                           "rough_scorer.bilinear.weight",
                           "rough_scorer.bilinear.bias",
                           "pw.distance_emb.weight",
                           "a_scorer.out.weight",
                           "a_scorer.out.bias",
                           "sp.ffnn.0.weight",
                           "sp.ffnn.0.bias",
                           "sp.ffnn.3.weight",
                           "sp.ffnn.3.bias",
                           "sp.ffnn.6.weight",
                           "sp.ffnn.6.bias",
                           "sp.conv.0.weight",
                           "sp.conv.0.bias",
                           "sp.conv.1.weight",
                           "sp.conv.1.bias",
                           "sp.emb.weight",
                           "zeros_predictor.0.weight",
                           "zeros_predictor.0.bias",
                           "zeros_predictor.2.weight",
                           "zeros_predictor.2.bias"}) {
    detail::coref_tensor(impl, name);
  }
  for (std::int64_t layer = 0; layer < impl.n_hidden_layers; ++layer) {
    const std::string prefix = "a_scorer.hidden." + std::to_string(3 * layer);
    detail::coref_tensor(impl, prefix + ".weight");
    detail::coref_tensor(impl, prefix + ".bias");
  }
  if (impl.singletons) {
    detail::coref_tensor(impl, "a_scorer.start_map.weight");
  }
  if (impl.full_pairwise) {
    detail::coref_tensor(impl, "pw.speaker_emb.weight");
  }
}

void check_token_id(std::int64_t id, std::size_t vocabulary_size) {
  if (id < 0 || static_cast<std::uint64_t>(id) >= vocabulary_size) {
    throw CorefModelError("coref token id is outside the transformer vocabulary: " +
                          std::to_string(id));
  }
}

} // namespace

CorefPlan::Impl::Impl(std::filesystem::path bundle_path, bool verify_checksums)
    : bundle(std::make_shared<ModelBundle>(std::move(bundle_path), verify_checksums)) {
  if (bundle->processor() != "coref") {
    throw CorefModelError("expected a coref bundle, got '" + bundle->processor() + "'");
  }
  const JsonValue assets = detail::parse_json(bundle->assets_json());
  const JsonValue& config = assets.at("config", "assets");
  hidden_size = required_config_int(config, "hidden_size");
  embedding_size = required_config_int(config, "embedding_size");
  sp_embedding_size = required_config_int(config, "sp_embedding_size");
  a_scoring_batch_size = required_config_int(config, "a_scoring_batch_size");
  n_hidden_layers = required_config_int(config, "n_hidden_layers");
  rough_k = required_config_int(config, "rough_k");
  bert_window_size = required_config_int(config, "bert_window_size");
  singletons = detail::read_config_bool(config, "singletons", false);
  full_pairwise = detail::read_config_bool(config, "full_pairwise", false);
  use_zeros = detail::read_config_bool(config, "use_zeros", false);
  if (hidden_size < 1 || embedding_size < 1 || sp_embedding_size < 1 || a_scoring_batch_size < 1 ||
      rough_k < 1 || bert_window_size < 5 || n_hidden_layers < 0) {
    throw CorefModelError("coref config dimensions are invalid");
  }
  detail::require_config_bound<CorefModelError>("coref", "a_scoring_batch_size",
                                                a_scoring_batch_size, detail::kMaxBatchSize);

  tensors = detail::bind_floating_bundle_tensors<CorefModelError>(*bundle, "coref");

  const JsonValue& transformer_assets = assets.at("transformer", "assets");
  transformer = std::make_unique<detail::NativeTransformer>(bundle, transformer_assets);
  if (transformer->hidden_size() != hidden_size) {
    throw CorefModelError("coref transformer hidden size disagrees with config");
  }

  const JsonValue& tokenizer = transformer_assets.at("tokenizer", "assets.transformer");
  cls_id = tokenizer_id(tokenizer, "cls_id");
  sep_id = tokenizer_id(tokenizer, "sep_id");
  pad_id = tokenizer_id(tokenizer, "pad_id");
  eos_id = tokenizer_id(tokenizer, "eos_id");

  // The listed ids are checked against the vocabulary below, the first bad
  // one in key order.
  const std::size_t vocabulary_size = tokenizer.at("vocabulary").as_array().size();
  std::optional<std::int64_t> bad_listed_id;
  const JsonValue::Object& listed = assets.at("runtime_contract", "assets")
                                        .at("tokenizer_map_ids", "assets.runtime_contract")
                                        .as_object("assets.runtime_contract.tokenizer_map_ids");
  for (const auto& [word, value] : listed) {
    std::vector<std::int64_t> ids;
    for (const JsonValue& id :
         value.as_array("assets.runtime_contract.tokenizer_map_ids." + word)) {
      ids.push_back(id.as_integer());
      if (!bad_listed_id &&
          (ids.back() < 0 || static_cast<std::uint64_t>(ids.back()) >= vocabulary_size)) {
        bad_listed_id = ids.back();
      }
    }
    tokenizer_map_ids.insert_or_assign(word, std::move(ids));
  }

  // Checked here so that a bad id or an over-long window never reaches the
  // compiled package.
  check_token_id(cls_id >= 0 ? cls_id : eos_id, vocabulary_size);
  check_token_id(sep_id >= 0 ? sep_id : eos_id, vocabulary_size);
  if (bad_listed_id) {
    check_token_id(*bad_listed_id, vocabulary_size);
  }
  if (bert_window_size > transformer_assets.at("model_max_length").as_integer()) {
    throw CorefModelError("coref bert_window_size exceeds the transformer model_max_length");
  }

  check_required_tensors(*this);
  // A tensor without the axis a check reads fails that check.
  if (detail::extent_of(detail::coref_tensor(*this, "we.attn.weight"), 1) != hidden_size ||
      !detail::has_shape(detail::coref_tensor(*this, "rough_scorer.bilinear.weight"),
                         {hidden_size, hidden_size}) ||
      detail::extent_of(detail::coref_tensor(*this, "pw.distance_emb.weight"), 0) != 9) {
    throw CorefModelError("coref tensor dimensions disagree");
  }
  check_network();
}

// Everything the model multiplies, after the checks above: 32-bit floats
// throughout (scores are read back as such), and every shape the layers rely
// on. The span scores are read two per sentence word, so a convolution of
// another width would be read past its end. The zero-mention scorer is
// checked only when it runs.
void CorefPlan::Impl::check_network() const {
  const detail::TensorContract<CorefModelError> contract(
      "coref",
      [this](std::string_view name) -> const at::Tensor& {
        return detail::coref_tensor(*this, name);
      },
      at::kFloat);
  using detail::checked_product;
  using detail::checked_sum;
  using detail::Extent;
  const std::int64_t h = hidden_size;
  contract.require("we.attn.weight", {1, h});
  contract.require("we.attn.bias", {1});
  contract.require("rough_scorer.bilinear.weight", {h, h});
  contract.require("rough_scorer.bilinear.bias", {h});

  std::int64_t pair =
      checked_sum({checked_product({3, h}),
                   contract.require("pw.distance_emb.weight", {9, Extent::any()}).size(1)});
  if (full_pairwise) {
    pair =
        checked_sum({pair, contract.require("pw.speaker_emb.weight", {2, Extent::any()}).size(1)});
  }
  std::int64_t input = pair;
  for (std::int64_t layer = 0; layer < n_hidden_layers; ++layer) {
    const std::string prefix = "a_scorer.hidden." + std::to_string(3 * layer);
    input = contract.require(prefix + ".weight", {Extent::any(), input}).size(0);
    contract.require(prefix + ".bias", {input});
  }
  contract.require("a_scorer.out.weight", {1, input});
  contract.require("a_scorer.out.bias", {1});
  if (singletons) {
    const at::Tensor& start_map = contract.require("a_scorer.start_map.weight", {1, Extent::any()});
    if (start_map.size(1) < rough_k) {
      throw CorefModelError(detail::config_disagreement("coref", "a_scorer.start_map.weight"));
    }
  }

  const std::int64_t position = contract.require("sp.emb.weight", {128, Extent::any()}).size(1);
  input = checked_sum({checked_product({2, h}), position});
  for (const char* prefix : {"sp.ffnn.0", "sp.ffnn.3", "sp.ffnn.6"}) {
    input = contract.require(std::string(prefix) + ".weight", {Extent::any(), input}).size(0);
    contract.require(std::string(prefix) + ".bias", {input});
  }
  const std::int64_t channels =
      contract.require("sp.conv.0.weight", {Extent::any(), input, 3}).size(0);
  contract.require("sp.conv.0.bias", {channels});
  contract.require("sp.conv.1.weight", {2, channels, 3});
  contract.require("sp.conv.1.bias", {2});

  if (use_zeros) {
    const std::int64_t width =
        contract.require("zeros_predictor.0.weight", {Extent::any(), h}).size(0);
    contract.require("zeros_predictor.0.bias", {width});
    contract.require("zeros_predictor.2.weight", {1, width});
    contract.require("zeros_predictor.2.bias", {1});
  }
}

namespace detail {

const at::Tensor& coref_tensor(const CorefPlan::Impl& impl, std::string_view name) {
  const auto found = impl.tensors.find(name);
  if (found == impl.tensors.end()) {
    throw CorefModelError("missing coref tensor: '" + std::string(name) + "'");
  }
  return found->second;
}

} // namespace detail
} // namespace velmora
