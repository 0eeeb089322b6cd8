#include <set>
#include <string>
#include <utility>

#include <ATen/ATen.h>

#include <velmora/json.hpp>

#include "bundle/config_bounds.hpp"
#include "bundle/tensor_checks.hpp"
#include "bundle/tensor_errors.hpp"
#include "bundle/tensor_view.hpp"
#include "tokenize/tokenizer_impl.hpp"

namespace velmora {
namespace {

using detail::JsonValue;

const std::set<std::string, std::less<>>& known_features() {
  static const std::set<std::string, std::less<>> names{
      "space_before",  "capitalized", "numeric",      "end_of_para", "start_of_para",
      "labeled_field", "phone_id",    "date_pattern", "currency"};
  return names;
}

const char* const kRequiredTensors[] = {
    "embeddings.weight",
    "rnn.weight_ih_l0",
    "rnn.weight_hh_l0",
    "rnn.bias_ih_l0",
    "rnn.bias_hh_l0",
    "rnn.weight_ih_l0_reverse",
    "rnn.weight_hh_l0_reverse",
    "rnn.bias_ih_l0_reverse",
    "rnn.bias_hh_l0_reverse",
    "tok_clf.weight",
    "tok_clf.bias",
    "sent_clf.weight",
    "sent_clf.bias",
    "mwt_clf.weight",
    "mwt_clf.bias",
    "rnn2.weight_ih_l0",
    "rnn2.weight_hh_l0",
    "rnn2.bias_ih_l0",
    "rnn2.bias_hh_l0",
    "rnn2.weight_ih_l0_reverse",
    "rnn2.weight_hh_l0_reverse",
    "rnn2.bias_ih_l0_reverse",
    "rnn2.bias_hh_l0_reverse",
    "tok_clf2.weight",
    "sent_clf2.weight",
    "mwt_clf2.weight",
};

// A configuration value is converted without a context, so a wrong type
// reads "expected JSON <kind>" with nothing after it.
const JsonValue& config_value(const JsonValue& config, std::string_view key) {
  return config.at(key, "assets.config");
}

bool present(const JsonValue& config, std::string_view key) {
  const JsonValue* value = config.find(key);
  return value != nullptr && !value->is_null();
}

void load_lexicon(const JsonValue& assets, TokenizerPlan::Impl& impl) {
  const JsonValue::Array& words = assets.at("lexicon", "assets").as_array("assets.lexicon");
  for (const JsonValue& entry : words) {
    const std::string& word = entry.as_string("assets.lexicon[]");
    const auto units = detail::tokenize::make_char_units(word.data(), word.size());
    if (units.size() < 2) {
      continue;
    }
    impl.lexicon.insert(word);
    std::string prefix;
    for (std::size_t k = 0; k + 1 < units.size(); ++k) {
      prefix += units[k].text;
      impl.lexicon_prefixes.insert(prefix);
    }
    std::size_t suffix_start = word.size();
    for (std::size_t k = units.size() - 1; k >= 1; --k) {
      suffix_start -= units[k].text.size();
      impl.lexicon_suffixes.insert(word.substr(suffix_start));
    }
  }
}

} // namespace

TokenizerPlan::Impl::Impl(const std::filesystem::path& path, bool verify_checksums) {
  bundle = std::make_shared<ModelBundle>(path, verify_checksums);
  if (bundle->processor() != "tokenize") {
    throw TokenizerModelError("expected a tokenize bundle, got '" + bundle->processor() + "'");
  }
  JsonValue assets;
  try {
    assets = detail::parse_json(bundle->assets_json());
  } catch (const detail::JsonError& error) {
    throw TokenizerModelError(error.what());
  }
  const JsonValue& config = assets.at("config", "assets");
  const JsonValue& vocab = assets.at("vocab", "assets");

  emb_dim = config_value(config, "emb_dim").as_integer();
  hidden_dim = config_value(config, "hidden_dim").as_integer();
  feat_dim = config_value(config, "feat_dim").as_integer();
  rnn_layers = config_value(config, "rnn_layers").as_integer();
  hierarchical = config_value(config, "hierarchical").as_bool();
  use_mwt = config_value(config, "use_mwt").as_bool();
  hier_invtemp = config_value(config, "hier_invtemp").as_number();
  skip_newline = config_value(config, "skip_newline").as_bool();
  shorthand = config_value(config, "shorthand").as_string();
  lang = config_value(config, "lang").as_string();

  if (const JsonValue* value = config.find("batch_size")) {
    batch_size = value->as_integer("assets.config.batch_size");
    if (batch_size < 1) {
      throw TokenizerModelError("tokenizer batch size must be positive");
    }
    detail::require_config_bound<TokenizerModelError>("tokenizer", "batch_size", batch_size,
                                                      detail::kMaxBatchSize);
  }
  if (present(config, "charlm_forward_file")) {
    throw TokenizerModelError("character-LM tokenizers are not supported by this profile");
  }
  if (present(config, "conv_res")) {
    throw TokenizerModelError("convolutional residual tokenizers are not supported");
  }
  if (rnn_layers != 1 || !hierarchical) {
    throw TokenizerModelError("this tokenizer profile requires a one-layer hierarchical model");
  }
  if (const JsonValue* value = config.find("use_dictionary")) {
    use_dictionary = value->as_bool();
  }
  if (use_dictionary) {
    num_dict_feat = config_value(config, "num_dict_feat").as_integer();
    if (num_dict_feat < 1) {
      throw TokenizerModelError("dictionary tokenizer feature window must be positive");
    }
    detail::require_config_bound<TokenizerModelError>("tokenizer", "num_dict_feat", num_dict_feat,
                                                      detail::kMaxWindow);
    load_lexicon(assets, *this);
  }

  for (const JsonValue& name :
       config.at("feat_funcs", "assets.config").as_array("assets.config.feat_funcs")) {
    feat_funcs.push_back(name.as_string("assets.config.feat_funcs[]"));
  }
  for (const std::string& name : feat_funcs) {
    if (!known_features().contains(name)) {
      throw TokenizerModelError("unsupported tokenizer feature: " + name);
    }
  }

  for (const auto& [unit, id] :
       vocab.at("_unit2id", "assets.vocab").as_object("assets.vocab._unit2id")) {
    unit2id.emplace(unit, id.as_integer("assets.vocab._unit2id"));
  }
  const auto pad = unit2id.find("<PAD>");
  const auto unk = unit2id.find("<UNK>");
  if (pad == unit2id.end() || unk == unit2id.end()) {
    throw TokenizerModelError("tokenizer vocabulary lacks <PAD> or <UNK>");
  }
  pad_id = pad->second;
  unk_id = unk->second;

  for (const TensorDescriptor& descriptor : bundle->tensors()) {
    if (descriptor.dtype != "float32") {
      throw TokenizerModelError("the native tokenizer currently requires float32 weights");
    }
    tensors.emplace(descriptor.name, detail::bundle_tensor_view(*bundle, descriptor, at::kFloat));
  }
  for (const char* name : kRequiredTensors) {
    if (!use_mwt && std::string_view(name).starts_with("mwt_")) {
      continue;
    }
    if (!tensors.contains(name)) {
      throw TokenizerModelError("tokenizer bundle lacks required tensor: '" + std::string(name) +
                                "'");
    }
  }
  check_shapes();
  for (std::size_t i = 0; i < 8; ++i) {
    rnn_weights.push_back(weight(kRequiredTensors[1 + i]));
    rnn2_weights.push_back(weight(kRequiredTensors[15 + i]));
  }
  initial_state = {at::zeros({2, 1, hidden_dim}, at::kFloat),
                   at::zeros({2, 1, hidden_dim}, at::kFloat)};
}

// What the network multiplies through, checked before anything is allocated
// from the configured sizes: a width the weights do not have would allocate
// without bound or fail deep inside the first forward pass.
void TokenizerPlan::Impl::check_shapes() const {
  using detail::Extent;
  const auto require = [this](const std::string& name, std::initializer_list<Extent> extents) {
    detail::require_shape<TokenizerModelError>("tokenizer", name, weight(name), extents);
  };
  const std::int64_t gates = detail::checked_product({4, hidden_dim});
  const std::int64_t both = detail::checked_product({2, hidden_dim});
  require("embeddings.weight", {Extent::any(), emb_dim});
  for (const auto& [layer, input] :
       {std::pair{"rnn.", detail::checked_sum({emb_dim, feat_dim})}, std::pair{"rnn2.", both}}) {
    for (const char* direction : {"", "_reverse"}) {
      const std::string layer_name = layer;
      require(layer_name + "weight_ih_l0" + direction, {gates, input});
      require(layer_name + "weight_hh_l0" + direction, {gates, hidden_dim});
      require(layer_name + "bias_ih_l0" + direction, {gates});
      require(layer_name + "bias_hh_l0" + direction, {gates});
    }
  }
  for (const std::string classifier : {"tok", "sent", "mwt"}) {
    if (classifier == "mwt" && !use_mwt) {
      continue;
    }
    require(classifier + "_clf.weight", {1, both});
    require(classifier + "_clf.bias", {1});
    require(classifier + "_clf2.weight", {1, both});
  }
  detail::require_rows_for<TokenizerModelError>("tokenizer", "embeddings.weight",
                                                weight("embeddings.weight"), unit2id);
}

const at::Tensor& TokenizerPlan::Impl::weight(std::string_view name) const {
  const auto found = tensors.find(std::string(name));
  if (found == tensors.end()) {
    throw TokenizerModelError("missing tokenizer weight: '" + std::string(name) + "'");
  }
  return found->second;
}

TokenizerPlan::TokenizerPlan(std::filesystem::path bundle_path, bool verify_checksums) {
  try {
    impl_ = detail::with_model_errors<TokenizerModelError>(
        [&] { return std::make_unique<Impl>(bundle_path, verify_checksums); });
  } catch (const detail::JsonError& error) {
    throw TokenizerModelError(error.what());
  }
}

TokenizerPlan::~TokenizerPlan() = default;
TokenizerPlan::TokenizerPlan(TokenizerPlan&& other) noexcept = default;
TokenizerPlan& TokenizerPlan::operator=(TokenizerPlan&& other) noexcept = default;

const ModelBundle& TokenizerPlan::bundle() const {
  return *impl_->bundle;
}

} // namespace velmora
