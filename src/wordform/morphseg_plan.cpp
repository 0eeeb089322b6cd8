// Loading a morphseg bundle, and the plan's public face.

#include <cstdint>
#include <iterator>
#include <string>
#include <utility>

#include <velmora/json.hpp>

#include "bundle/config_bounds.hpp"
#include "bundle/tensor_checks.hpp"
#include "bundle/tensor_errors.hpp"
#include "bundle/tensor_view.hpp"
#include "encoders/bulk_slices.hpp"
#include "encoders/lstm.hpp"
#include "encoders/model_call.hpp"
#include "wordform/morphseg_impl.hpp"

namespace velmora {
namespace {

using detail::JsonValue;

constexpr detail::LstmShape kEncoderShape{2, true};

std::vector<std::string> read_vocabulary(const JsonValue& assets, const std::string& key) {
  const std::string context = "assets." + key;
  const JsonValue::Array& items = assets.at(key, "assets").as_array(context);
  std::vector<std::string> entries;
  entries.reserve(items.size());
  for (std::size_t i = 0; i < items.size(); ++i) {
    entries.push_back(items[i].as_string(context + "[" + std::to_string(i) + "]"));
  }
  return entries;
}

bool starts_with_specials(const std::vector<std::string>& vocabulary) {
  return vocabulary.size() >= 2 && vocabulary[0] == "<PAD>" && vocabulary[1] == "<UNK>";
}

} // namespace

MorphSegPlan::Impl::Impl(std::filesystem::path bundle_path, bool verify_checksums)
    : bundle(std::make_shared<ModelBundle>(std::move(bundle_path), verify_checksums)) {
  if (bundle->processor() != "morphseg") {
    throw MorphSegModelError("expected a morphseg bundle, got '" + bundle->processor() + "'");
  }
  const JsonValue assets = detail::parse_json(bundle->assets_json());
  const JsonValue& config = assets.at("config", "assets");

  std::int64_t tau = 0;
  for (auto [key, value] :
       {std::pair<const char*, std::int64_t*>{"embedding_size", &embedding_size},
        {"hidden_size", &hidden_size},
        {"num_layers", &num_layers},
        {"batch_size", &batch_size},
        {"tau", &tau}}) {
    *value = config.at(key, "assets.config").as_integer("assets.config");
    if (*value <= 0) {
      throw MorphSegModelError(std::string("MorphSeg config value must be positive: ") + key);
    }
  }
  detail::require_config_bound<MorphSegModelError>("MorphSeg", "batch_size", batch_size,
                                                   detail::kMaxBatchSize);
  const bool use_crf = config.at("use_crf", "assets.config").as_bool("assets.config.use_crf");
  const bool use_features =
      config.at("use_features", "assets.config").as_bool("assets.config.use_features");
  if (num_layers != kEncoderShape.num_layers || tau != 1 || use_crf || use_features) {
    throw MorphSegModelError(
        "unsupported MorphSeg architecture; the native profile requires a two-layer BiLSTM, "
        "tau=1, argmax decoding, and no auxiliary features");
  }

  source_vocabulary = read_vocabulary(assets, "source_vocabulary");
  target_vocabulary = read_vocabulary(assets, "target_vocabulary");
  if (!starts_with_specials(source_vocabulary) || !starts_with_specials(target_vocabulary)) {
    throw MorphSegModelError("MorphSeg vocabularies must begin with <PAD>, <UNK>");
  }
  source_index.max_load_factor(1.0F);
  source_index.reserve(source_vocabulary.size());
  for (std::size_t i = 0; i < source_vocabulary.size(); ++i) {
    if (!source_index.emplace(source_vocabulary[i], static_cast<std::int64_t>(i)).second) {
      throw MorphSegModelError("MorphSeg source vocabulary contains duplicates");
    }
  }

  tensors.max_load_factor(1.0F);
  tensors.reserve(bundle->tensors().size());
  for (const TensorDescriptor& descriptor : bundle->tensors()) {
    if (descriptor.dtype != "float32") {
      throw MorphSegModelError("MorphSeg tensors must use float32: '" + descriptor.name + "'");
    }
    tensors.insert_or_assign(descriptor.name,
                             detail::bundle_tensor_view(*bundle, descriptor, at::kFloat));
  }

  const auto source_size = static_cast<std::int64_t>(source_vocabulary.size());
  const auto target_size = static_cast<std::int64_t>(target_vocabulary.size());
  const std::int64_t E = embedding_size;
  const std::int64_t H = hidden_size;
  // Sizes from the file: an overflowing product is -1, which no shape has.
  const std::int64_t gates = detail::checked_product({4, H});
  const std::int64_t both = detail::checked_product({2, H});
  const auto checked = [&](const std::string& name, std::vector<std::int64_t> shape) {
    const auto found = tensors.find(name);
    if (found == tensors.end()) {
      throw MorphSegModelError("missing MorphSeg tensor: '" + name + "'");
    }
    if (found->second.sizes() != at::IntArrayRef(shape)) {
      throw MorphSegModelError("MorphSeg tensor has an unexpected shape: '" + name + "'");
    }
    return found->second;
  };
  embedding = checked("embedding.weight", {source_size, E});
  initial_hidden = checked("encoder.h_0", {2 * num_layers, 1, H});
  initial_cell = checked("encoder.c_0", {2 * num_layers, 1, H});
  // The runner's parameter order: per layer, forward then backward, each
  // weight_ih, weight_hh, bias_ih, bias_hh.
  const std::vector<std::string> names =
      detail::lstm_parameter_names("encoder.lstm.", kEncoderShape);
  lstm_weights.reserve(names.size());
  for (std::size_t i = 0; i < names.size(); ++i) {
    const std::int64_t layer_input = i < 8 ? E : both;
    std::vector<std::int64_t> shape;
    switch (i % 4) {
    case 0:
      shape = {gates, layer_input};
      break;
    case 1:
      shape = {gates, H};
      break;
    default:
      shape = {gates};
      break;
    }
    lstm_weights.push_back(checked(names[i], std::move(shape)));
  }
  reduce_weight = checked("encoder.reduce_dim.weight", {H, both});
  reduce_bias = checked("encoder.reduce_dim.bias", {H});
  classifier_weight = checked("classifier.1.weight", {target_size, H});
  classifier_bias = checked("classifier.1.bias", {target_size});

  actions.reserve(target_vocabulary.size());
  for (const std::string& text : target_vocabulary) {
    actions.push_back(detail::parse_morphseg_action(text));
  }
}

MorphSegPlan::MorphSegPlan(std::filesystem::path bundle_path, bool verify_checksums) {
  try {
    impl_ = detail::with_model_errors<MorphSegModelError>(
        [&] { return std::make_unique<Impl>(std::move(bundle_path), verify_checksums); });
  } catch (const detail::JsonError& error) {
    throw MorphSegModelError(error.what());
  }
}

MorphSegPlan::~MorphSegPlan() = default;
MorphSegPlan::MorphSegPlan(MorphSegPlan&& other) noexcept = default;
MorphSegPlan& MorphSegPlan::operator=(MorphSegPlan&& other) noexcept = default;

const MorphSegPlan::Impl& MorphSegPlan::impl() const {
  if (!impl_) {
    throw MorphSegModelError("MorphSeg plan has been moved from");
  }
  return *impl_;
}

const ModelBundle& MorphSegPlan::bundle() const {
  return *impl().bundle;
}

std::vector<std::string> MorphSegPlan::segment(const std::string& word) const {
  return std::move(segment_many({word}).front());
}

std::vector<std::vector<std::string>>
MorphSegPlan::segment_many(const std::vector<std::string>& words) const {
  const Impl& plan = impl();
  return detail::model_call<MorphSegModelError>([&] { return plan.segment_batch(words); });
}

Document MorphSegPlan::process(Document document) const {
  const WordSequence words = document.words();
  std::vector<std::string> texts;
  texts.reserve(words.size());
  for (std::uint64_t i = 0; i < words.size(); ++i) {
    texts.push_back(words.at(static_cast<std::int64_t>(i)).text());
  }
  const std::vector<std::vector<std::string>> morphemes = segment_many(texts);
  for (std::uint64_t i = 0; i < words.size(); ++i) {
    words.at(static_cast<std::int64_t>(i)).set_morphemes(morphemes[i]);
  }
  return document;
}

std::vector<Document> MorphSegPlan::process_bulk(std::vector<Document> documents) const {
  const detail::BulkCallScope bulk_call;
  std::vector<WordSequence> sequences;
  sequences.reserve(documents.size());
  std::size_t total = 0;
  for (const Document& document : documents) {
    total += sequences.emplace_back(document.words()).size();
  }
  // The words in slices, written only once every word is segmented; the
  // results are reserved once for the whole call, as growing them slice by
  // slice would copy them again.
  std::vector<std::vector<std::string>> morphemes;
  morphemes.reserve(total);
  detail::WordCursor cursor(sequences);
  while (!cursor.done()) {
    std::vector<std::string> texts;
    for (const Word& word : cursor.next_slice()) {
      texts.push_back(word.text());
    }
    std::vector<std::vector<std::string>> slice = segment_many(texts);
    std::move(slice.begin(), slice.end(), std::back_inserter(morphemes));
  }
  std::size_t next = 0;
  for (const WordSequence& words : sequences) {
    for (std::uint64_t i = 0; i < words.size(); ++i) {
      words.at(static_cast<std::int64_t>(i)).set_morphemes(morphemes[next++]);
    }
  }
  return documents;
}

} // namespace velmora
