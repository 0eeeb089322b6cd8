#include "taggers/tagger_assets.hpp"

#include <stdexcept>

namespace velmora::detail {
namespace {

const JsonValue* config_member(const JsonValue& config, std::string_view key) {
  const JsonValue* value = config.find(key);
  return value == nullptr || value->is_null() ? nullptr : value;
}

} // namespace

std::int64_t read_config_int(const JsonValue& config, const std::string& key,
                             std::int64_t fallback) {
  const JsonValue* value = config_member(config, key);
  return value == nullptr ? fallback : value->as_integer("assets.config." + key);
}

bool read_config_bool(const JsonValue& config, const std::string& key, bool fallback) {
  const JsonValue* value = config_member(config, key);
  return value == nullptr ? fallback : value->as_bool("assets.config." + key);
}

double read_config_number(const JsonValue& config, const std::string& key) {
  const JsonValue* value = config_member(config, key);
  return value == nullptr ? 0.0 : value->as_number("assets.config." + key);
}

bool config_present(const JsonValue& config, std::string_view key) {
  return config_member(config, key) != nullptr;
}

bool character_input_profile(const JsonValue& config) {
  return read_config_bool(config, "char", false) && read_config_bool(config, "pretrain", false) &&
         !read_config_bool(config, "char_bidirectional", false);
}

bool recurrent_profile(const JsonValue& config, bool use_charlm) {
  if (!use_charlm && (read_config_int(config, "char_num_layers", 0) != 1 ||
                      read_config_number(config, "char_rec_dropout") != 0.0)) {
    return false;
  }
  return read_config_number(config, "rec_dropout") == 0.0;
}

UnitMap read_unit_map(const JsonValue& vocabulary, const std::string& context) {
  const std::string units_context = context + "._unit2id";
  const JsonValue::Object& units = vocabulary.at("_unit2id", context).as_object(units_context);
  UnitMap map;
  map.reserve(units.size());
  for (const auto& [unit, id] : units) {
    // The context is spelled out only for the error: vocabularies run to
    // 100,000 entries.
    map.emplace(unit,
                id.is_integer() ? id.as_integer() : id.as_integer(units_context + "." + unit));
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

PretrainVocabulary read_pretrain_vocabulary(const JsonValue& root) {
  const JsonValue& pretrain = root.at("pretrain_vocab", "assets");
  PretrainVocabulary vocabulary;
  vocabulary.units = read_unit_map(pretrain, "assets.pretrain_vocab");
  if (const JsonValue* lower = pretrain.find("lower")) {
    vocabulary.lower = lower->as_bool("assets.pretrain_vocab.lower");
  }
  const auto pad = vocabulary.units.find("<PAD>");
  const auto unknown = vocabulary.units.find("<UNK>");
  vocabulary.reserved_ids = pad != vocabulary.units.end() && pad->second == 0 &&
                            unknown != vocabulary.units.end() && unknown->second == kUnknownId;
  return vocabulary;
}

bool pipe_separated_features(const JsonValue& feats) {
  return feats.at("keyed", "assets.vocab.feats").as_bool("assets.vocab.feats.keyed") &&
         feats.at("sep", "assets.vocab.feats").as_string("assets.vocab.feats.sep") == "|";
}

bool xpos_ignore_listed(const JsonValue& xpos) {
  const JsonValue* ignore = xpos.find("ignore");
  return ignore != nullptr && !ignore->as_array("assets.vocab.xpos.ignore").empty();
}

std::optional<KeyNumber> leading_number(const std::string& key) {
  std::size_t consumed = 0;
  unsigned long long value = 0;
  try {
    value = std::stoull(key, &consumed, 10);
  } catch (const std::logic_error&) {
    return std::nullopt;
  }
  return KeyNumber{value, consumed == key.size()};
}

std::optional<unsigned long long> component_index(const std::string& key) {
  const std::optional<KeyNumber> number = leading_number(key);
  if (!number || !number->whole) {
    return std::nullopt;
  }
  return number->value;
}

const at::Tensor* find_tensor(const TensorMap& tensors, std::string_view name) {
  const auto found = tensors.find(name);
  return found == tensors.end() ? nullptr : &found->second;
}

namespace {

constexpr const char* kCharacterLstmNames[] = {
    "charmodel.charlstm.lstm.weight_ih_l0", "charmodel.charlstm.lstm.weight_hh_l0",
    "charmodel.charlstm.lstm.bias_ih_l0", "charmodel.charlstm.lstm.bias_hh_l0"};

} // namespace

const std::vector<std::string>& character_model_tensor_names() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> list = {"charmodel.char_emb.weight", "charmodel.char_attn.weight",
                                     "charmodel.charlstm_h_init", "charmodel.charlstm_c_init"};
    list.insert(list.end(), std::begin(kCharacterLstmNames), std::end(kCharacterLstmNames));
    list.emplace_back("trans_char.weight");
    return list;
  }();
  return names;
}

void cache_character_lstm(const TensorLookup& tensor, std::vector<at::Tensor>& weights,
                          std::vector<at::Tensor>& initial_state) {
  weights.reserve(4);
  for (const char* name : kCharacterLstmNames) {
    weights.push_back(tensor(name));
  }
  initial_state = {tensor("charmodel.charlstm_h_init"), tensor("charmodel.charlstm_c_init")};
}

bool load_charlm_pair(const std::shared_ptr<ModelBundle>& bundle, const JsonValue& assets,
                      std::unique_ptr<NativeCharLM>& forward,
                      std::unique_ptr<NativeCharLM>& backward) {
  const JsonValue& charlm = assets.at("charlm", "assets");
  forward = std::make_unique<NativeCharLM>(bundle, "charmodel_forward.",
                                           charlm.at("forward", "assets.charlm"));
  backward = std::make_unique<NativeCharLM>(bundle, "charmodel_backward.",
                                            charlm.at("backward", "assets.charlm"));
  return forward->is_forward() && !backward->is_forward();
}

} // namespace velmora::detail
