// Loading a "pos" bundle: configuration, native-profile gate, vocabularies
// and the optional language models and transformer.

#include <algorithm>
#include <stdexcept>
#include <utility>

#include <velmora/json.hpp>

#include "taggers/pos_impl.hpp"

namespace velmora {
namespace {

using detail::JsonValue;

constexpr const char* kProfileMessage =
    "unsupported POS architecture; the native profile requires word/pretrain embeddings, one "
    "unidirectional character LSTM, a non-shared HighwayLSTM, and no recurrent dropout";
constexpr const char* kFeatsMessage =
    "the native POS profile requires keyed, pipe-separated morphological features";

// Optional configuration values: an absent member and a JSON null both give
// the default.
const JsonValue* config_value(const JsonValue& config, const std::string& key) {
  const JsonValue* value = config.find(key);
  return value == nullptr || value->is_null() ? nullptr : value;
}

std::int64_t config_integer(const JsonValue& config, const std::string& key,
                            std::int64_t fallback) {
  const JsonValue* value = config_value(config, key);
  return value == nullptr ? fallback : value->as_integer("assets.config." + key);
}

bool config_bool(const JsonValue& config, const std::string& key) {
  const JsonValue* value = config_value(config, key);
  return value != nullptr && value->as_bool("assets.config." + key);
}

double config_number(const JsonValue& config, const std::string& key) {
  const JsonValue* value = config_value(config, key);
  return value == nullptr ? 0.0 : value->as_number("assets.config." + key);
}

void require_profile(bool condition) {
  if (!condition) {
    throw POSModelError(kProfileMessage);
  }
}

detail::UnitMap read_unit_map(const JsonValue& vocabulary, const std::string& context) {
  const std::string units_context = context + "._unit2id";
  const JsonValue::Object& units = vocabulary.at("_unit2id", context).as_object(units_context);
  detail::UnitMap map;
  map.reserve(units.size());
  for (const auto& [unit, id] : units) {
    map.emplace(unit, id.as_integer(units_context + "." + unit));
  }
  return map;
}

std::vector<std::string> read_strings(const JsonValue& value, const std::string& context) {
  const JsonValue::Array& items = value.as_array(context);
  const std::string item_context = context + "[]";
  std::vector<std::string> strings;
  strings.reserve(items.size());
  for (const JsonValue& item : items) {
    strings.push_back(item.as_string(item_context));
  }
  return strings;
}

std::vector<std::string> read_unit_list(const JsonValue& vocabulary, const std::string& context) {
  return read_strings(vocabulary.at("_id2unit", context), context + "._id2unit");
}

// The component lists of a composite XPOS vocabulary, keyed "0", "1", ... in
// an object whose byte-wise key order ("10" before "2") is not their order.
std::vector<std::vector<std::string>> read_xpos_components(const JsonValue& xpos) {
  const std::string context = "assets.vocab.xpos._id2unit";
  const JsonValue::Object& members = xpos.at("_id2unit", "assets.vocab.xpos").as_object(context);
  std::vector<std::pair<unsigned long long, std::vector<std::string>>> components;
  components.reserve(members.size());
  for (const auto& [key, units] : members) {
    unsigned long long index = 0;
    std::size_t consumed = 0;
    try {
      index = std::stoull(key, &consumed, 10);
    } catch (const std::logic_error&) {
      throw POSModelError("composite XPOS component keys must be integers");
    }
    if (consumed != key.size()) {
      throw POSModelError("composite XPOS component keys must be integers");
    }
    components.emplace_back(index, read_strings(units, context + "." + key));
  }
  std::stable_sort(components.begin(), components.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<std::vector<std::string>> lists;
  lists.reserve(components.size());
  for (std::size_t i = 0; i < components.size(); ++i) {
    if (components[i].first != i) {
      throw POSModelError("composite XPOS component keys must be contiguous");
    }
    lists.push_back(std::move(components[i].second));
  }
  return lists;
}

std::vector<FeatsColumn> read_feats_columns(const JsonValue& vocab) {
  const JsonValue& feats = vocab.at("feats", "assets.vocab");
  if (!feats.at("keyed", "assets.vocab.feats").as_bool("assets.vocab.feats.keyed")) {
    throw POSModelError(kFeatsMessage);
  }
  if (feats.at("sep", "assets.vocab.feats").as_string("assets.vocab.feats.sep") != "|") {
    throw POSModelError(kFeatsMessage);
  }
  const std::string context = "assets.vocab.feats._id2unit";
  const JsonValue::Object& members = feats.at("_id2unit", "assets.vocab.feats").as_object(context);
  std::vector<FeatsColumn> columns;
  columns.reserve(members.size());
  for (const auto& [key, values] : members) {
    columns.push_back({key, read_strings(values, context + "." + key)});
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

  word_emb_dim = config_integer(config, "word_emb_dim", 0);
  transformed_dim = config_integer(config, "transformed_dim", 0);
  char_emb_dim = config_integer(config, "char_emb_dim", 0);
  char_hidden_dim = config_integer(config, "char_hidden_dim", 0);
  hidden_dim = config_integer(config, "hidden_dim", 0);
  num_layers = config_integer(config, "num_layers", 0);
  tag_emb_dim = config_integer(config, "tag_emb_dim", 0);
  batch_size = config_integer(config, "batch_size", 250);
  batch_maximum_tokens = config_integer(config, "batch_maximum_tokens", 5000);
  charlm_transform_dim = config_integer(config, "charlm_transform_dim", 0);
  use_charlm = config_bool(config, "charlm");

  require_profile(config_bool(config, "char"));
  require_profile(config_bool(config, "pretrain"));
  require_profile(!config_bool(config, "char_bidirectional"));
  require_profile(!config_bool(config, "share_hid"));
  if (!use_charlm) {
    require_profile(config_integer(config, "char_num_layers", 0) == 1);
    require_profile(config_number(config, "char_rec_dropout") == 0.0);
  }
  require_profile(config_number(config, "rec_dropout") == 0.0);
  for (const std::int64_t dimension :
       {word_emb_dim, transformed_dim, char_emb_dim, char_hidden_dim, hidden_dim, num_layers,
        tag_emb_dim, batch_size, batch_maximum_tokens}) {
    require_profile(dimension >= 1);
  }
  use_transformer = config_value(config, "bert_model") != nullptr;

  const JsonValue& vocab = root.at("vocab", "assets");
  const std::string& xpos_class =
      vocab.at("_key2class", "assets.vocab").at("xpos", "assets.vocab._key2class").as_string();
  if (xpos_class != "WordVocab" && xpos_class != "XPOSVocab") {
    throw POSModelError("unsupported XPOS vocabulary class: " + xpos_class);
  }

  const JsonValue& word = vocab.at("word", "assets.vocab");
  word_vocab = read_unit_map(word, "assets.vocab.word");
  if (const JsonValue* lower = word.find("lower")) {
    word_lower = lower->as_bool("assets.vocab.word.lower");
  }
  char_vocab = read_unit_map(vocab.at("char", "assets.vocab"), "assets.vocab.char");
  upos_labels = read_unit_list(vocab.at("upos", "assets.vocab"), "assets.vocab.upos");

  composite_xpos = xpos_class == "XPOSVocab";
  const JsonValue& xpos = vocab.at("xpos", "assets.vocab");
  if (!composite_xpos) {
    xpos_labels = read_unit_list(xpos, "assets.vocab.xpos");
    if (const JsonValue* ignore = xpos.find("ignore")) {
      xpos_has_ignore = !ignore->as_array("assets.vocab.xpos.ignore").empty();
    }
  } else {
    if (xpos.at("keyed", "assets.vocab.xpos").as_bool("assets.vocab.xpos.keyed")) {
      throw POSModelError("keyed composite XPOS vocabularies are unsupported");
    }
    xpos_separator = xpos.at("sep", "assets.vocab.xpos").as_string("assets.vocab.xpos.sep");
    xpos_component_labels = read_xpos_components(xpos);
  }

  pretrain_vocab = read_unit_map(root.at("pretrain_vocab", "assets"), "assets.pretrain_vocab");
  feats_columns = read_feats_columns(vocab);

  bind_tensors();

  if (use_charlm) {
    const JsonValue& charlm = root.at("charlm", "assets");
    charlm_forward = std::make_unique<detail::NativeCharLM>(bundle, "charmodel_forward.",
                                                            charlm.at("forward", "assets.charlm"));
    charlm_backward = std::make_unique<detail::NativeCharLM>(
        bundle, "charmodel_backward.", charlm.at("backward", "assets.charlm"));
    if (!charlm_forward->is_forward() || charlm_backward->is_forward()) {
      throw POSModelError("POS charLM directions disagree with their asset slots");
    }
  }
  if (use_transformer) {
    transformer =
        std::make_unique<detail::NativeTransformer>(bundle, root.at("transformer", "assets"));
  }

  check_tensors();
}

} // namespace velmora
