// Loading a "sentiment" bundle: configuration and native-profile gate,
// filters, labels, vocabularies, the optional encoders and every tensor the
// network reads, checked against the configured architecture.

#include <algorithm>
#include <utility>

#include <velmora/json.hpp>

#include "bundle/config_bounds.hpp"
#include "bundle/tensor_checks.hpp"
#include "classifiers/sentiment_impl.hpp"
#include "encoders/lstm.hpp"
#include "taggers/tagger_assets.hpp"

namespace velmora {
namespace {

using detail::JsonValue;
using detail::read_config_bool;
using detail::read_config_int;

constexpr const char* kArchitecture =
    "unsupported sentiment architecture; the native profile requires Tavrel's CNN classifier "
    "without ELMo or PEFT";
constexpr const char* kPretrainShape =
    "sentiment pretrain embedding dimensions disagree with its vocabulary";
constexpr const char* kExtraShape =
    "sentiment extra embedding dimensions disagree with its vocabulary";
constexpr const char* kConvShape =
    "sentiment convolution tensor disagrees with its configured filter";
constexpr const char* kFcShape =
    "sentiment fully connected layer dimensions disagree with the configured architecture";
constexpr const char* kBilstmShape = "sentiment BiLSTM tensors disagree with bilstm_hidden_dim";

void require(bool condition, const char* message) {
  if (!condition) {
    throw SentimentModelError(message);
  }
}

// Every feature is written into rows of the embedding's type, so the network
// after them multiplies in that type; a language model's projection in the
// model's own.
void require_type(const at::Tensor& tensor, const std::string& name, c10::ScalarType type) {
  if (!detail::is_floating(tensor) || tensor.scalar_type() != type) {
    throw SentimentModelError(detail::dtype_disagreement("sentiment", name));
  }
}

} // namespace

SentimentPlan::Impl::Impl(std::filesystem::path bundle_path, bool verify_checksums)
    : bundle(std::make_shared<ModelBundle>(std::move(bundle_path), verify_checksums)) {
  if (bundle->processor() != "sentiment") {
    throw SentimentModelError("expected a sentiment bundle, got '" + bundle->processor() + "'");
  }
  const JsonValue root = detail::parse_json(bundle->assets_json());
  const JsonValue& config = root.at("config", "assets");
  read_config(config);
  read_vocabularies(root);
  tensors = detail::bind_bundle_tensors<SentimentModelError>(*bundle);
  load_encoders(root);
  check_tensors(config);
}

const at::Tensor& SentimentPlan::Impl::tensor(std::string_view name) const {
  const at::Tensor* found = detail::find_tensor(tensors, name);
  if (found == nullptr) {
    throw SentimentModelError("missing sentiment tensor: '" + std::string(name) + "'");
  }
  return *found;
}

void SentimentPlan::Impl::read_config(const JsonValue& config) {
  const std::string& model_type =
      config.at("model_type", "assets.config").as_string("assets.config.model_type");
  require(model_type == "CNN", kArchitecture);
  require(!read_config_bool(config, "use_elmo", false), kArchitecture);
  require(!read_config_bool(config, "use_peft", false), kArchitecture);
  if (detail::config_present(config, "extra_wordvec_max_norm")) {
    throw SentimentModelError(
        "sentiment extra-embedding max-norm constraints are not supported by the native profile");
  }
  extra_wordvec_method = config.at("extra_wordvec_method", "assets.config")
                             .as_string("assets.config.extra_wordvec_method");
  if (extra_wordvec_method != "SUM" && extra_wordvec_method != "CONCAT" &&
      extra_wordvec_method != "NONE") {
    throw SentimentModelError("unsupported sentiment extra word-vector method: '" +
                              extra_wordvec_method + "'");
  }
  bilstm = read_config_bool(config, "bilstm", false);
  bilstm_hidden_dim = read_config_int(config, "bilstm_hidden_dim", 0);
  maxpool_width = read_config_int(config, "maxpool_width", 0);
  num_classes = read_config_int(config, "num_classes", 0);
  charlm_projection = read_config_int(config, "charlm_projection", 0);
  has_charlm_forward = read_config_bool(config, "has_charlm_forward", false);
  has_charlm_backward = read_config_bool(config, "has_charlm_backward", false);
  use_transformer = detail::config_present(config, "bert_model");
  require(maxpool_width >= 1 && num_classes >= 1 && (!bilstm || bilstm_hidden_dim >= 1),
          "sentiment dimensions and maxpool width must be positive");

  const JsonValue::Array& sizes =
      config.at("filter_sizes", "assets.config").as_array("assets.config.filter_sizes");
  require(!sizes.empty(), "sentiment classifier has no convolution filters");
  for (std::size_t k = 0; k < sizes.size(); ++k) {
    const std::string context = "assets.config.filter_sizes[" + std::to_string(k) + "]";
    SentimentFilter filter;
    if (sizes[k].is_integer()) {
      filter.height = sizes[k].as_integer();
      min_batch_length = std::max(min_batch_length, filter.height);
    } else {
      const JsonValue::Array& pair = sizes[k].as_array(context);
      require(pair.size() == 2, "sentiment 2D filter must have two dimensions");
      filter.height = pair[0].as_integer(context + "[0]");
      filter.width = pair[1].as_integer(context + "[1]");
      min_batch_length = std::max(min_batch_length, *filter.width);
      tallest_2d_filter = std::max(tallest_2d_filter, filter.height);
    }
    require(filter.height >= 1 && filter.width.value_or(1) >= 1,
            "sentiment convolution dimensions must be positive");
    detail::require_config_bound<SentimentModelError>(
        "sentiment", "filter_sizes", std::max(filter.height, filter.width.value_or(1)),
        detail::kMaxWindow);
    filters.push_back(filter);
  }
}

void SentimentPlan::Impl::read_vocabularies(const JsonValue& root) {
  labels = detail::read_strings(root.at("labels", "assets"), "assets.labels");
  require(static_cast<std::int64_t>(labels.size()) == num_classes,
          "sentiment labels disagree with num_classes");

  detail::PretrainVocabulary pretrain = detail::read_pretrain_vocabulary(root);
  require(pretrain.reserved_ids, "sentiment pretrain vocabulary has invalid PAD/UNK ids");
  pretrain_vocab = std::move(pretrain.units);
  lower = pretrain.lower;

  const JsonValue* extra = root.find("extra_vocab");
  if (extra != nullptr && !extra->is_null()) {
    const std::vector<std::string> entries = detail::read_strings(*extra, "assets.extra_vocab");
    extra_vocab.reserve(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
      extra_vocab.emplace(entries[i], static_cast<std::int64_t>(i)); // the first index wins
    }
  }
  require(extra_vocab.empty() == (extra_wordvec_method == "NONE"),
          "sentiment extra vocabulary disagrees with its method");
}

void SentimentPlan::Impl::load_encoders(const JsonValue& root) {
  if (has_charlm_forward || has_charlm_backward) {
    const JsonValue& charlm = root.at("charlm", "assets");
    if (has_charlm_forward) {
      forward_charlm = std::make_unique<detail::NativeCharLM>(
          bundle, "forward_charlm.", charlm.at("forward", "assets.charlm"));
      require(forward_charlm->is_forward(), "sentiment forward charLM has the wrong direction");
    }
    if (has_charlm_backward) {
      backward_charlm = std::make_unique<detail::NativeCharLM>(
          bundle, "backward_charlm.", charlm.at("backward", "assets.charlm"));
      require(!backward_charlm->is_forward(), "sentiment backward charLM has the wrong direction");
    }
  }
  if (use_transformer) {
    transformer =
        std::make_unique<detail::NativeTransformer>(bundle, root.at("transformer", "assets"));
  }
}

std::int64_t SentimentPlan::Impl::check_projection(const detail::NativeCharLM& model,
                                                   const std::string& direction) {
  if (charlm_projection < 1) {
    return model.hidden_size();
  }
  const std::string prefix = "charmodel_" + direction + "_projection";
  const at::Tensor& weight = tensor(prefix + ".weight");
  const at::Tensor& bias = tensor(prefix + ".bias");
  // The output size is checked too: a wider projection would otherwise pass
  // and, without the BiLSTM, its extra columns would be silently ignored.
  if (!detail::has_shape(weight, {charlm_projection, model.hidden_size()}) ||
      !detail::has_shape(bias, {charlm_projection})) {
    throw SentimentModelError("sentiment " + direction +
                              " charLM projection has an invalid input width");
  }
  const c10::ScalarType type = tensor(direction + "_charlm.char_emb.weight").scalar_type();
  require_type(weight, prefix + ".weight", type);
  require_type(bias, prefix + ".bias", type);
  return charlm_projection;
}

void SentimentPlan::Impl::check_tensors(const JsonValue& config) {
  const at::Tensor& embedding = tensor("embedding.weight");
  const at::Tensor& unk = tensor("unk");
  require(embedding.dim() == 2 &&
              embedding.size(0) == static_cast<std::int64_t>(pretrain_vocab.size()),
          kPretrainShape);
  // The ids come from the file as they are: one may still miss the rows.
  require(std::all_of(pretrain_vocab.begin(), pretrain_vocab.end(),
                      [&](const auto& entry) {
                        return entry.second >= 0 && entry.second < embedding.size(0);
                      }),
          kPretrainShape);
  const std::int64_t word_width = embedding.size(1);
  require(detail::has_shape(unk, {word_width}), kPretrainShape);
  const c10::ScalarType type = embedding.scalar_type();
  require_type(embedding, "embedding.weight", type);
  require_type(unk, "unk", type);
  std::int64_t width = word_width;

  if (extra_wordvec_method != "NONE") {
    const at::Tensor& extra = tensor("extra_embedding.weight");
    std::int64_t largest_id = 0;
    for (const auto& [word, id] : extra_vocab) {
      largest_id = std::max(largest_id, id);
    }
    // Ids are first indexes, so a repeated string can push one past the
    // distinct count; such an id would fail at run time. A word missing from
    // the vocabulary reads row 1, whatever the vocabulary holds.
    require(extra.dim() == 2 && extra.size(0) == static_cast<std::int64_t>(extra_vocab.size()) &&
                largest_id < extra.size(0) && detail::kUnknownId < extra.size(0),
            kExtraShape);
    require_type(extra, "extra_embedding.weight", type);
    if (extra_wordvec_method == "SUM") {
      require(extra.size(1) == word_width, "summed sentiment embeddings have different widths");
    } else {
      width += extra.size(1);
    }
  }
  if (has_charlm_forward) {
    width += check_projection(*forward_charlm, "forward");
  }
  if (has_charlm_backward) {
    width += check_projection(*backward_charlm, "backward");
  }
  if (use_transformer) {
    width += transformer->hidden_size();
  }

  if (bilstm) {
    const std::vector<std::string> names =
        detail::lstm_parameter_names("bilstm.", detail::LstmShape{2, true});
    for (const std::string& name : names) {
      bilstm_weights.push_back(tensor(name));
      require_type(bilstm_weights.back(), name, type);
    }
    require(bilstm_weights[0].dim() == 2 && bilstm_weights[0].size(1) == width,
            "sentiment BiLSTM input width disagrees with its embedding profile");
    // The LSTM kernels take their sizes from the input and the states, not
    // from the weights: a weight of another shape would be read past its end.
    require(detail::lstm_shape_mismatch(bilstm_weights, detail::LstmShape{2, true}, width,
                                        bilstm_hidden_dim) < 0,
            kBilstmShape);
    width = 2 * bilstm_hidden_dim;
  }

  std::int64_t pooled = 0;
  for (std::size_t k = 0; k < filters.size(); ++k) {
    const SentimentFilter& filter = filters[k];
    const std::string prefix = "conv_layers." + std::to_string(k);
    const at::Tensor& weight = tensor(prefix + ".weight");
    const at::Tensor& bias = tensor(prefix + ".bias");
    require_type(weight, prefix + ".weight", type);
    require_type(bias, prefix + ".bias", type);
    // A bias of one value would be broadcast over every channel unnoticed.
    require(weight.dim() == 4 && weight.size(1) == 1 && weight.size(2) == filter.height &&
                detail::has_shape(bias, {weight.size(0)}),
            kConvShape);
    std::int64_t channels = weight.size(0);
    if (!filter.width) {
      require(weight.size(3) == width,
              "sentiment full-width convolution has the wrong input width");
    } else {
      require(weight.size(3) == *filter.width && width % *filter.width == 0,
              "sentiment 2D filter does not tile its input width");
      channels *= width / *filter.width;
    }
    pooled += channels / maxpool_width;
  }

  const JsonValue::Array& shapes =
      config.at("fc_shapes", "assets.config").as_array("assets.config.fc_shapes");
  std::int64_t input = pooled;
  for (std::size_t i = 0; i <= shapes.size(); ++i) {
    const std::string prefix = "fc_layers." + std::to_string(i);
    const at::Tensor& weight = tensor(prefix + ".weight");
    const at::Tensor& bias = tensor(prefix + ".bias");
    const std::int64_t output =
        i < shapes.size() ? shapes[i].as_integer("assets.config.fc_shapes[]") : num_classes;
    require(detail::has_shape(weight, {output, input}) && detail::has_shape(bias, {output}),
            kFcShape);
    require_type(weight, prefix + ".weight", type);
    require_type(bias, prefix + ".bias", type);
    input = output;
  }
  fc_layer_count = static_cast<std::int64_t>(shapes.size()) + 1;
}

} // namespace velmora
