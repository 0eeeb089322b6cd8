// Loading a "depparse" bundle: configuration, native-profile gate, runtime
// contract, vocabularies and the optional language models and transformer.

#include <tuple>
#include <utility>

#include <velmora/json.hpp>

#include "bundle/config_bounds.hpp"
#include "depparse/depparse_impl.hpp"
#include "taggers/tagger_assets.hpp"

namespace velmora {
namespace {

using detail::JsonValue;
using detail::read_config_bool;
using detail::read_config_int;
using UnitMap = DepparsePlan::Impl::UnitMap;

constexpr const char* kProfileMessage =
    "unsupported depparse architecture; the native profile requires word/lemma/POS/pretrain "
    "embeddings, one unidirectional character LSTM, a non-reversed GraphParser HighwayLSTM "
    "without recurrent dropout, and standard deep biaffine heads";
constexpr const char* kFeatsMessage =
    "the native depparse profile requires keyed, pipe-separated morphological features";

void require_profile(bool condition) {
  if (!condition) {
    throw DepparseModelError(kProfileMessage);
  }
}

// A vocabulary's unit map and its optional lower-casing flag (absent: false;
// present, even null, it must be a boolean).
std::pair<UnitMap, bool> read_word_vocabulary(const JsonValue& vocab, const std::string& name) {
  const std::string context = "assets.vocab." + name;
  const JsonValue& vocabulary = vocab.at(name, "assets.vocab");
  UnitMap units = detail::read_unit_map(vocabulary, context);
  const JsonValue* lower = vocabulary.find("lower");
  return {std::move(units), lower != nullptr && lower->as_bool(context + ".lower")};
}

// The component vocabularies of a composite XPOS vocabulary, keyed "0", "1",
// ... in an object whose byte-wise key order ("10" before "2") is not their
// order.
std::vector<UnitMap> read_xpos_components(const JsonValue& xpos) {
  const std::string context = "assets.vocab.xpos._unit2id";
  const JsonValue::Object& members = xpos.at("_unit2id", "assets.vocab.xpos").as_object(context);
  return detail::read_numbered_components<DepparseModelError>(
      members, [&](const std::string& key, const JsonValue& units) {
        const std::string component_context = context + "." + key;
        const JsonValue::Object& entries = units.as_object(component_context);
        UnitMap map;
        map.reserve(entries.size());
        for (const auto& [unit, id] : entries) {
          map.emplace(unit, id.as_integer(component_context + "." + unit));
        }
        return map;
      });
}

} // namespace

DepparsePlan::Impl::Impl(std::filesystem::path bundle_path, bool verify_checksums)
    : bundle(std::make_shared<ModelBundle>(std::move(bundle_path), verify_checksums)) {
  if (bundle->processor() != "depparse") {
    throw DepparseModelError("expected a depparse bundle, got '" + bundle->processor() + "'");
  }
  const JsonValue assets = detail::parse_json(bundle->assets_json());
  const JsonValue& config = assets.at("config", "assets");

  word_emb_dim = read_config_int(config, "word_emb_dim", 0);
  tag_emb_dim = read_config_int(config, "tag_emb_dim", 0);
  transformed_dim = read_config_int(config, "transformed_dim", 0);
  char_emb_dim = read_config_int(config, "char_emb_dim", 0);
  char_hidden_dim = read_config_int(config, "char_hidden_dim", 0);
  hidden_dim = read_config_int(config, "hidden_dim", 0);
  num_layers = read_config_int(config, "num_layers", 0);
  batch_size = read_config_int(config, "batch_size", 5000);
  deep_biaff_hidden_dim = read_config_int(config, "deep_biaff_hidden_dim", 0);
  linearization = read_config_bool(config, "linearization", false);
  distance = read_config_bool(config, "distance", false);
  use_charlm = read_config_bool(config, "charlm", false);
  use_transformer = detail::config_present(config, "bert_model");

  // Each key is read only once the checks before it have passed.
  require_profile(detail::character_input_profile(config));
  require_profile(!read_config_bool(config, "use_arc_embedding", false));
  require_profile(!read_config_bool(config, "reversed", false));
  require_profile(read_config_bool(config, "use_upos", true));
  require_profile(read_config_bool(config, "use_xpos", true));
  require_profile(read_config_bool(config, "use_ufeats", true));
  require_profile(detail::recurrent_profile(config, use_charlm));
  for (const std::int64_t dimension :
       {word_emb_dim, tag_emb_dim, transformed_dim, char_emb_dim, char_hidden_dim, hidden_dim,
        num_layers, batch_size, deep_biaff_hidden_dim}) {
    require_profile(dimension >= 1);
  }
  detail::require_config_bound<DepparseModelError>("depparse", "batch_size", batch_size,
                                                   detail::kMaxBatchSize);

  const std::string& contract = assets.at("runtime_contract", "assets")
                                    .at("depparse_ufeats_input", "assets.runtime_contract")
                                    .as_string("assets.runtime_contract.depparse_ufeats_input");
  if (contract != "duplicated_pos_emb") {
    throw DepparseModelError("unsupported depparse UFeats input contract; released Tavrel 1.14 "
                             "checkpoints require duplicated_pos_emb");
  }

  const JsonValue& vocab = assets.at("vocab", "assets");
  const std::string& xpos_class = vocab.at("_key2class", "assets.vocab")
                                      .at("xpos", "assets.vocab._key2class")
                                      .as_string("assets.vocab._key2class.xpos");
  if (xpos_class != "WordVocab" && xpos_class != "XPOSVocab") {
    throw DepparseModelError("unsupported XPOS vocabulary class: " + xpos_class);
  }

  std::tie(word_vocab, word_lower) = read_word_vocabulary(vocab, "word");
  std::tie(lemma_vocab, lemma_lower) = read_word_vocabulary(vocab, "lemma");
  char_vocab = detail::read_unit_map(vocab.at("char", "assets.vocab"), "assets.vocab.char");
  upos_vocab = detail::read_unit_map(vocab.at("upos", "assets.vocab"), "assets.vocab.upos");

  const JsonValue& xpos = vocab.at("xpos", "assets.vocab");
  composite_xpos = xpos_class == "XPOSVocab";
  if (!composite_xpos) {
    xpos_vocab = detail::read_unit_map(xpos, "assets.vocab.xpos");
    xpos_has_ignore = detail::xpos_ignore_listed(xpos);
  } else {
    xpos_separator = detail::composite_xpos_separator<DepparseModelError>(xpos);
    xpos_component_vocabs = read_xpos_components(xpos);
  }

  pretrain_vocab =
      detail::read_unit_map(assets.at("pretrain_vocab", "assets"), "assets.pretrain_vocab");

  deprel_labels =
      detail::read_strings(vocab.at("deprel", "assets.vocab").at("_id2unit", "assets.vocab.deprel"),
                           "assets.vocab.deprel._id2unit");

  const JsonValue& feats = vocab.at("feats", "assets.vocab");
  if (!detail::pipe_separated_features(feats)) {
    throw DepparseModelError(kFeatsMessage);
  }
  feats_category_count = static_cast<std::int64_t>(
      feats.at("_id2unit", "assets.vocab.feats").as_object("assets.vocab.feats._id2unit").size());

  bind_tensors();

  if (use_charlm && !detail::load_charlm_pair(bundle, assets, charlm_forward, charlm_backward)) {
    throw DepparseModelError("depparse charLM directions disagree with their asset slots");
  }
  if (use_transformer) {
    transformer =
        std::make_unique<detail::NativeTransformer>(bundle, assets.at("transformer", "assets"));
  }

  validate_tensors();
  cache_recurrent_weights();
}

} // namespace velmora
