// Loading an "ner" bundle: configuration, native-profile gate, vocabularies,
// tag columns and the optional language models and transformer.

#include <utility>

#include <velmora/json.hpp>

#include "bundle/bundle_artifact.hpp"
#include "taggers/ner_impl.hpp"
#include "taggers/tagger_assets.hpp"

namespace velmora {
namespace {

using detail::JsonValue;
using detail::read_config_bool;
using detail::read_config_int;

constexpr const char* kProfileMessage =
    "unsupported NER architecture; the native profile requires static and delta word "
    "embeddings, a bidirectional character LSTM without recurrent dropout, and a standard "
    "bidirectional tagger LSTM";

void require_vocabulary_class(const JsonValue& classes, const char* key, const char* expected) {
  if (classes.at(key, "assets.vocab._key2class").as_string() != expected) {
    throw NERModelError("unsupported NER vocabulary layout");
  }
}

bool read_lower(const JsonValue& vocabulary, const std::string& context) {
  const JsonValue* lower = vocabulary.find("lower");
  return lower != nullptr && lower->as_bool(context + ".lower");
}

} // namespace

NERPlan::Impl::Impl(std::filesystem::path bundle_path, bool verify_checksums)
    : bundle(detail::open_plan_bundle(std::move(bundle_path), verify_checksums)) {
  if (bundle->processor() != "ner") {
    throw NERModelError("expected an NER bundle, got '" + bundle->processor() + "'");
  }
  const JsonValue root = detail::parse_json(bundle->assets_json());
  const JsonValue& config = root.at("config", "assets");

  word_emb_dim = read_config_int(config, "word_emb_dim", 0);
  char_emb_dim = read_config_int(config, "char_emb_dim", 0);
  char_hidden_dim = read_config_int(config, "char_hidden_dim", 0);
  char_num_layers = read_config_int(config, "char_num_layers", 0);
  hidden_dim = read_config_int(config, "hidden_dim", 0);
  num_layers = read_config_int(config, "num_layers", 0);
  predict_tagset = read_config_int(config, "predict_tagset", 0);
  lowercase = read_config_bool(config, "lowercase", true);
  char_lowercase = read_config_bool(config, "char_lowercase", false);
  input_transform = read_config_bool(config, "input_transform", false);
  connect_output_layers = read_config_bool(config, "connect_output_layers", false);
  charlm = read_config_bool(config, "charlm", false);
  const bool character_input = read_config_bool(config, "char", false);

  // Even with language models in place of the character LSTM, its sizes must
  // be valid: the converted configuration always carries them.
  if (!character_input) {
    throw NERModelError(kProfileMessage);
  }
  for (const std::int64_t dimension :
       {word_emb_dim, char_emb_dim, char_hidden_dim, char_num_layers, hidden_dim, num_layers}) {
    if (dimension < 1) {
      throw NERModelError(kProfileMessage);
    }
  }
  if (detail::read_config_number(config, "char_rec_dropout") != 0.0) {
    throw NERModelError(kProfileMessage);
  }
  use_transformer = detail::config_present(config, "bert_model");
  if (detail::config_present(config, "scheme") &&
      config.at("scheme").as_string("assets.config.scheme") != "bioes") {
    throw NERModelError("the native NER profile requires BIOES tags");
  }

  const JsonValue& vocab = root.at("vocab", "assets");
  const JsonValue& classes = vocab.at("_key2class", "assets.vocab");
  require_vocabulary_class(classes, "char", "CharVocab");
  require_vocabulary_class(classes, "word", "PretrainedWordVocab");
  require_vocabulary_class(classes, "delta", "WordVocab");
  require_vocabulary_class(classes, "tag", "CompositeVocab");

  const JsonValue& word = vocab.at("word", "assets.vocab");
  const JsonValue& delta = vocab.at("delta", "assets.vocab");
  word_vocab = detail::read_unit_map(word, "assets.vocab.word");
  delta_vocab = detail::read_unit_map(delta, "assets.vocab.delta");
  char_vocab = detail::read_unit_map(vocab.at("char", "assets.vocab"), "assets.vocab.char");
  word_lower = read_lower(word, "assets.vocab.word");
  delta_lower = read_lower(delta, "assets.vocab.delta");
  read_tag_columns(vocab);
  if (predict_tagset < 0 || predict_tagset >= static_cast<std::int64_t>(tag_columns.size())) {
    throw NERModelError("NER predict_tagset is out of range");
  }

  tensors = detail::bind_bundle_tensors<NERModelError>(*bundle);
  if (charlm && !detail::load_charlm_pair(bundle, root, charlm_forward, charlm_backward)) {
    throw NERModelError("NER charLM directions disagree with their asset slots");
  }
  if (use_transformer) {
    transformer =
        std::make_unique<detail::NativeTransformer>(bundle, root.at("transformer", "assets"));
  }

  validate_tensors();
  check_network();
  if (!charlm) {
    char_lstm_weights = load_lstm_weights("charmodel.charlstm.lstm.", char_num_layers);
    char_lstm_state = {tensor("charmodel.charlstm_h_init"), tensor("charmodel.charlstm_c_init")};
  }
  tagger_lstm_weights = load_lstm_weights("taggerlstm.lstm.", num_layers);
  tagger_lstm_state = {tensor("taggerlstm_h_init"), tensor("taggerlstm_c_init")};
  tag_heads.reserve(tag_columns.size());
  for (std::size_t k = 0; k < tag_columns.size(); ++k) {
    const std::string column = std::to_string(k);
    tag_heads.push_back({tensor("tag_clfs." + column + ".weight"),
                         tensor("tag_clfs." + column + ".bias"),
                         tensor("crits." + column + "._transitions")});
  }
}

// Columns are placed by the number their key names, whatever the key's
// spelling ("0", "01"); each number must name a distinct column below the
// count. A number seen twice is refused even when its first array was empty,
// which would otherwise leave a column without tags.
void NERPlan::Impl::read_tag_columns(const JsonValue& vocab) {
  const std::string context = "assets.vocab.tag._id2unit";
  const JsonValue::Object& members =
      vocab.at("tag", "assets.vocab").at("_id2unit", "assets.vocab.tag").as_object(context);
  tag_columns.assign(members.size(), {});
  std::vector<bool> filled(members.size(), false);
  for (const auto& [key, units] : members) {
    const std::optional<detail::KeyNumber> number = detail::leading_number(key);
    if (!number) {
      throw NERModelError("NER tag vocabulary column is not numeric: '" + key + "'");
    }
    if (!number->whole || number->value >= members.size() || filled[number->value]) {
      throw NERModelError("NER tag vocabulary columns are not contiguous");
    }
    filled[number->value] = true;
    tag_columns[number->value] = detail::read_strings(units, context + "." + key);
  }
}

} // namespace velmora
