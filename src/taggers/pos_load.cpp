// Loading a "pos" bundle: configuration, native-profile gate, vocabularies
// and the optional language models and transformer.

#include <utility>

#include <velmora/json.hpp>

#include "bundle/config_bounds.hpp"
#include "taggers/pos_impl.hpp"
#include "taggers/tagger_assets.hpp"

namespace velmora {
namespace {

using detail::JsonValue;
using detail::read_config_bool;
using detail::read_config_int;

constexpr const char* kProfileMessage =
    "unsupported POS architecture; the native profile requires word/pretrain embeddings, one "
    "unidirectional character LSTM, a non-shared HighwayLSTM, and no recurrent dropout";
constexpr const char* kFeatsMessage =
    "the native POS profile requires keyed, pipe-separated morphological features";

void require_profile(bool condition) {
  if (!condition) {
    throw POSModelError(kProfileMessage);
  }
}

std::vector<std::string> read_unit_list(const JsonValue& vocabulary, const std::string& context) {
  return detail::read_strings(vocabulary.at("_id2unit", context), context + "._id2unit");
}

// The component lists of a composite XPOS vocabulary, keyed "0", "1", ... in
// an object whose byte-wise key order ("10" before "2") is not their order.
std::vector<std::vector<std::string>> read_xpos_components(const JsonValue& xpos) {
  const std::string context = "assets.vocab.xpos._id2unit";
  const JsonValue::Object& members = xpos.at("_id2unit", "assets.vocab.xpos").as_object(context);
  return detail::read_numbered_components<POSModelError>(
      members, [&](const std::string& key, const JsonValue& units) {
        return detail::read_strings(units, context + "." + key);
      });
}

std::vector<FeatsColumn> read_feats_columns(const JsonValue& vocab) {
  const JsonValue& feats = vocab.at("feats", "assets.vocab");
  if (!detail::pipe_separated_features(feats)) {
    throw POSModelError(kFeatsMessage);
  }
  const std::string context = "assets.vocab.feats._id2unit";
  const JsonValue::Object& members = feats.at("_id2unit", "assets.vocab.feats").as_object(context);
  std::vector<FeatsColumn> columns;
  columns.reserve(members.size());
  for (const auto& [key, values] : members) {
    columns.push_back({key, detail::read_strings(values, context + "." + key)});
  }
  return columns;
}

} // namespace

POSPlan::Impl::Impl(std::filesystem::path bundle_path, bool verify_checksums)
    : bundle(std::make_shared<ModelBundle>(std::move(bundle_path), verify_checksums)) {
  if (bundle->processor() != "pos") {
    throw POSModelError("expected a POS bundle, got '" + bundle->processor() + "'");
  }
  const JsonValue root = detail::parse_json(bundle->assets_json());
  const JsonValue& config = root.at("config", "assets");

  word_emb_dim = read_config_int(config, "word_emb_dim", 0);
  transformed_dim = read_config_int(config, "transformed_dim", 0);
  char_emb_dim = read_config_int(config, "char_emb_dim", 0);
  char_hidden_dim = read_config_int(config, "char_hidden_dim", 0);
  hidden_dim = read_config_int(config, "hidden_dim", 0);
  num_layers = read_config_int(config, "num_layers", 0);
  tag_emb_dim = read_config_int(config, "tag_emb_dim", 0);
  batch_size = read_config_int(config, "batch_size", 250);
  batch_maximum_tokens = read_config_int(config, "batch_maximum_tokens", 5000);
  charlm_transform_dim = read_config_int(config, "charlm_transform_dim", 0);
  use_charlm = read_config_bool(config, "charlm", false);

  require_profile(detail::character_input_profile(config));
  require_profile(!read_config_bool(config, "share_hid", false));
  require_profile(detail::recurrent_profile(config, use_charlm));
  for (const std::int64_t dimension :
       {word_emb_dim, transformed_dim, char_emb_dim, char_hidden_dim, hidden_dim, num_layers,
        tag_emb_dim, batch_size, batch_maximum_tokens}) {
    require_profile(dimension >= 1);
  }
  detail::require_config_bound<POSModelError>("POS", "batch_size", batch_size,
                                              detail::kMaxBatchSize);
  detail::require_config_bound<POSModelError>("POS", "batch_maximum_tokens", batch_maximum_tokens,
                                              detail::kMaxBatchSize);
  use_transformer = detail::config_present(config, "bert_model");

  const JsonValue& vocab = root.at("vocab", "assets");
  const std::string& xpos_class =
      vocab.at("_key2class", "assets.vocab").at("xpos", "assets.vocab._key2class").as_string();
  if (xpos_class != "WordVocab" && xpos_class != "XPOSVocab") {
    throw POSModelError("unsupported XPOS vocabulary class: " + xpos_class);
  }

  const JsonValue& word = vocab.at("word", "assets.vocab");
  word_vocab = detail::read_unit_map(word, "assets.vocab.word");
  if (const JsonValue* lower = word.find("lower")) {
    word_lower = lower->as_bool("assets.vocab.word.lower");
  }
  char_vocab = detail::read_unit_map(vocab.at("char", "assets.vocab"), "assets.vocab.char");
  upos_labels = read_unit_list(vocab.at("upos", "assets.vocab"), "assets.vocab.upos");

  composite_xpos = xpos_class == "XPOSVocab";
  const JsonValue& xpos = vocab.at("xpos", "assets.vocab");
  if (!composite_xpos) {
    xpos_labels = read_unit_list(xpos, "assets.vocab.xpos");
    xpos_has_ignore = detail::xpos_ignore_listed(xpos);
  } else {
    xpos_separator = detail::composite_xpos_separator<POSModelError>(xpos);
    xpos_component_labels = read_xpos_components(xpos);
  }

  pretrain_vocab =
      detail::read_unit_map(root.at("pretrain_vocab", "assets"), "assets.pretrain_vocab");
  feats_columns = read_feats_columns(vocab);

  bind_tensors();

  if (use_charlm && !detail::load_charlm_pair(bundle, root, charlm_forward, charlm_backward)) {
    throw POSModelError("POS charLM directions disagree with their asset slots");
  }
  if (use_transformer) {
    transformer =
        std::make_unique<detail::NativeTransformer>(bundle, root.at("transformer", "assets"));
  }

  check_tensors();
}

} // namespace velmora
