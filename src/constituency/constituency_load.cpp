// Loading a "constituency" bundle: native-profile gate, configuration,
// transition table, root labels, vocabularies and the optional language
// models and transformer.

#include <utility>

#include <velmora/json.hpp>

#include "bundle/bundle_artifact.hpp"
#include "constituency/constituency_impl.hpp"
#include "taggers/tagger_assets.hpp"

namespace velmora {
namespace {

using detail::JsonValue;
using detail::Transition;
using detail::TransitionKind;

constexpr const char* kProfileMessage =
    "unsupported constituency architecture; the native profile requires IN_ORDER/MAX/LSTM with "
    "ReLU, one tree layer, ordinary output layers, and no parser attention or PEFT";

// A required string of assets.config.
std::string config_string(const JsonValue& config, const std::string& key) {
  return config.at(key, "assets.config").as_string("assets.config." + key);
}

// Each key is read only once the tests before it have passed.
bool native_profile(const JsonValue& config) {
  return config_string(config, "transition_scheme") == "IN_ORDER" &&
         config_string(config, "constituency_composition") == "MAX" &&
         config_string(config, "transition_stack") == "LSTM" &&
         config_string(config, "constituent_stack") == "LSTM" &&
         config_string(config, "nonlinearity") == "relu" &&
         detail::read_config_int(config, "num_tree_lstm_layers", 0) == 1 &&
         detail::read_config_int(config, "maxout_k", 0) == 0 &&
         detail::read_config_int(config, "pattn_num_layers", 0) == 0 &&
         !detail::read_config_bool(config, "use_rattn", false) &&
         !detail::read_config_bool(config, "use_peft", false);
}

Transition read_transition(const JsonValue& element, const std::string& context) {
  Transition row;
  const std::string& kind = element.at("kind", context).as_string(context + ".kind");
  if (kind == "open") {
    row.kind = TransitionKind::Open;
    row.open_index = element.at("open_index", context).as_integer(context + ".open_index");
    row.labels = detail::read_strings(element.at("labels", context), context + ".labels");
    if (row.labels.empty() || row.open_index < 0) {
      throw ConstituencyModelError("constituency Open transition is incomplete");
    }
  } else if (kind == "close") {
    row.kind = TransitionKind::Close;
  } else if (kind != "shift") {
    throw ConstituencyModelError("unknown constituency transition kind: '" + kind + "'");
  }
  return row;
}

// Words get ids from 2 in array order; a repeated word keeps its first id.
detail::UnitMap read_indexed_words(const JsonValue& root, const std::string& key) {
  const std::string context = "assets." + key;
  const std::vector<std::string> words = detail::read_strings(root.at(key, "assets"), context);
  detail::UnitMap vocabulary;
  vocabulary.reserve(words.size());
  for (std::size_t i = 0; i < words.size(); ++i) {
    vocabulary.emplace(words[i], static_cast<std::int64_t>(i) + 2);
  }
  return vocabulary;
}

} // namespace

ConstituencyPlan::Impl::Impl(std::filesystem::path bundle_dir, bool verify_checksums)
    : bundle(detail::open_plan_bundle(std::move(bundle_dir), verify_checksums)) {
  if (bundle->processor() != "constituency") {
    throw ConstituencyModelError("expected a constituency bundle, got '" + bundle->processor() +
                                 "'");
  }
  const JsonValue root = detail::parse_json(bundle->assets_json());
  const JsonValue& config = root.at("config", "assets");
  if (!native_profile(config)) {
    throw ConstituencyModelError(kProfileMessage);
  }

  const std::string boundaries = config_string(config, "sentence_boundary_vectors");
  if (boundaries == "EVERYTHING") {
    boundary_vectors = true;
  } else if (boundaries != "NONE") {
    throw ConstituencyModelError("unsupported constituency sentence boundary profile: '" +
                                 boundaries + "'");
  }

  hidden_size = detail::read_config_int(config, "hidden_size", 0);
  transition_hidden_size = detail::read_config_int(config, "transition_hidden_size", 0);
  tag_embedding_dim = detail::read_config_int(config, "tag_embedding_dim", 0);
  transition_embedding_dim = detail::read_config_int(config, "transition_embedding_dim", 0);
  delta_embedding_dim = detail::read_config_int(config, "delta_embedding_dim", 0);
  num_lstm_layers = detail::read_config_int(config, "num_lstm_layers", 0);
  num_output_layers = detail::read_config_int(config, "num_output_layers", 0);
  const bool positive = hidden_size >= 1 && transition_hidden_size >= 1 &&
                        transition_embedding_dim >= 1 && delta_embedding_dim >= 1 &&
                        num_lstm_layers >= 1 && num_output_layers >= 1;
  if (!positive || tag_embedding_dim < 0) {
    throw ConstituencyModelError("constituency model dimensions must be positive");
  }

  const std::string& tag_source = root.at("runtime_contract", "assets")
                                      .at("tag_source", "assets.runtime_contract")
                                      .as_string("assets.runtime_contract.tag_source");
  if (tag_source == "xpos") {
    uses_xpos = true;
  } else if (tag_source != "upos") {
    throw ConstituencyModelError("unsupported constituency tag source: '" + tag_source + "'");
  }

  unary_limit = root.at("unary_limit", "assets").as_integer("assets.unary_limit");
  if (unary_limit < 0) {
    throw ConstituencyModelError("constituency unary limit cannot be negative");
  }

  for (std::string& label :
       detail::read_strings(root.at("root_labels", "assets"), "assets.root_labels")) {
    root_labels.insert(std::move(label));
  }
  if (root_labels.empty()) {
    throw ConstituencyModelError("constituency model has no root labels");
  }

  const JsonValue::Array& rows = root.at("transitions", "assets").as_array("assets.transitions");
  transitions.reserve(rows.size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    transitions.push_back(
        read_transition(rows[i], "assets.transitions[" + std::to_string(i) + "]"));
    has_shift = has_shift || transitions.back().kind == TransitionKind::Shift;
    has_close = has_close || transitions.back().kind == TransitionKind::Close;
  }
  if (!has_shift || !has_close) {
    throw ConstituencyModelError("constituency transition table is incomplete");
  }

  delta_vocab = read_indexed_words(root, "delta_words");
  tag_vocab = read_indexed_words(root, "tags");

  detail::PretrainVocabulary pretrain = detail::read_pretrain_vocabulary(root);
  if (!pretrain.reserved_ids) {
    throw ConstituencyModelError("constituency pretrain vocabulary has invalid PAD/UNK ids");
  }
  pretrain_vocab = std::move(pretrain.units);
  pretrain_lower = pretrain.lower;

  bind_tensors();

  has_charlm_forward = detail::find_tensor(tensors, "forward_charlm.char_emb.weight") != nullptr;
  has_charlm_backward = detail::find_tensor(tensors, "backward_charlm.char_emb.weight") != nullptr;
  if (has_charlm_forward || has_charlm_backward) {
    const JsonValue* charlm = root.find("charlm");
    if (charlm == nullptr) {
      throw ConstituencyModelError("constituency charLM tensors have no assets");
    }
    if (has_charlm_forward) {
      charlm_forward = std::make_unique<detail::NativeCharLM>(
          bundle, "forward_charlm.", charlm->at("forward", "assets.charlm"));
      if (!charlm_forward->is_forward()) {
        throw ConstituencyModelError("constituency forward charLM has the wrong direction");
      }
    }
    if (has_charlm_backward) {
      charlm_backward = std::make_unique<detail::NativeCharLM>(
          bundle, "backward_charlm.", charlm->at("backward", "assets.charlm"));
      if (charlm_backward->is_forward()) {
        throw ConstituencyModelError("constituency backward charLM has the wrong direction");
      }
    }
  }

  use_transformer = detail::config_present(config, "bert_model");
  if (use_transformer) {
    transformer =
        std::make_unique<detail::NativeTransformer>(bundle, root.at("transformer", "assets"));
  }

  check_tensors();
  bind_recurrent_weights();
}

} // namespace velmora
