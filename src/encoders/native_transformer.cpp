#include "encoders/native_transformer.hpp"

#include <algorithm>
#include <filesystem>
#include <utility>

#include <ATen/ops/empty.h>

#include "bundle/config_bounds.hpp"
#include "encoders/calling_thread.hpp"
#include "encoders/transformer_encoder_impl.hpp"

namespace velmora::detail {
namespace {

constexpr const char* kContext = "assets.transformer";
constexpr const char* kTokenizerContext = "assets.transformer.tokenizer";

// Positive integer member `key` of `object`, named `context` + "." + key.
std::int64_t positive(const JsonValue& object, const std::string& key, const char* context) {
  const std::string name = std::string(context) + "." + key;
  const long long value = object.at(key, context).as_integer(name);
  if (value <= 0) {
    throw TransformerError(name + " must be positive");
  }
  return value;
}

const std::string& tokenizer_string(const JsonValue& tokenizer, const std::string& key) {
  return tokenizer.at(key, kTokenizerContext).as_string(std::string(kTokenizerContext) + "." + key);
}

// The id of `token`: its position in a vocabulary that lists every token once.
// A token that is missing is left to the tokenizer's own construction to
// refuse.
std::int64_t vocabulary_id(const std::vector<std::string>& vocabulary, const std::string& token) {
  const auto found = std::find(vocabulary.begin(), vocabulary.end(), token);
  return found == vocabulary.end() ? -1 : static_cast<std::int64_t>(found - vocabulary.begin());
}

bool tokenizer_bool(const JsonValue& tokenizer, const std::string& key) {
  return tokenizer.at(key, kTokenizerContext).as_bool(std::string(kTokenizerContext) + "." + key);
}

// The artifact is joined to the bundle directory, so it must name an entry
// directly inside it: "." and ".." would hand the loader the directory itself
// or its parent, and a NUL would end the name early in the system's calls.
bool bundle_local(const std::filesystem::path& artifact) {
  return !artifact.empty() && !artifact.has_root_directory() && !artifact.has_parent_path() &&
         artifact != "." && artifact != ".." && artifact.native().find('\0') == std::string::npos;
}

} // namespace

NativeTransformer::NativeTransformer(std::shared_ptr<ModelBundle> bundle,
                                     const JsonValue& transformer)
    : bundle_(std::move(bundle)) {
  if (transformer.at("backend", kContext).as_string() != "aotinductor") {
    throw TransformerError("unsupported transformer runtime backend");
  }
  const std::filesystem::path artifact =
      transformer.at("artifact", kContext).as_string("assets.transformer.artifact");
  if (!bundle_local(artifact)) {
    throw TransformerError("transformer artifact must be a bundle-local filename");
  }
  hidden_size_ = positive(transformer, "hidden_size", kContext);
  require_config_bound<TransformerError>("transformer", "hidden_size", hidden_size_, kMaxWidth);
  const std::int64_t max_length = positive(transformer, "model_max_length", kContext);
  require_config_bound<TransformerError>("transformer", "model_max_length", max_length, kMaxWindow);
  const auto model_max_length = static_cast<std::size_t>(max_length);

  const JsonValue& tokenizer = transformer.at("tokenizer", kContext);
  const std::string& type =
      tokenizer.at("type", kTokenizerContext).as_string("assets.transformer.tokenizer.type");
  std::vector<std::string> vocabulary;
  for (const JsonValue& token : tokenizer.at("vocabulary", kTokenizerContext)
                                    .as_array("assets.transformer.tokenizer.vocabulary")) {
    vocabulary.push_back(token.as_string("assets.transformer.tokenizer.vocabulary[]"));
  }
  // Plans share the process-wide intra-op pool as it is.
  constexpr std::size_t kCurrentPool = 0;
  using Encoder = TransformerEncoder::Impl;
  // The package is the bundle's artifact of that name, read through the
  // descriptor the bundle opened it with.
  const auto build = [&](Encoder::Tokenizer subword_tokenizer) {
    encoder_.reset(new TransformerEncoder(std::make_unique<Encoder>(
        Encoder::PackageSource{bundle_->path() / artifact, bundle_.get(), artifact},
        std::move(subword_tokenizer), kCurrentPool, model_max_length)));
  };

  if (type == "WordPiece") {
    const bool lowercase = tokenizer_bool(tokenizer, "lowercase");
    const bool strip_accents = tokenizer_bool(tokenizer, "strip_accents");
    std::string unknown = tokenizer_string(tokenizer, "unknown_token");
    unknown_id_ = vocabulary_id(vocabulary, unknown);
    std::string cls = tokenizer_string(tokenizer, "cls_token");
    std::string sep = tokenizer_string(tokenizer, "sep_token");
    std::string prefix = tokenizer_string(tokenizer, "continuing_subword_prefix");
    const std::int64_t word_characters =
        positive(tokenizer, "max_input_characters_per_word", kTokenizerContext);
    require_config_bound<TransformerError>("transformer", "max_input_characters_per_word",
                                           word_characters, kMaxWordCharacters);
    const auto max_characters = static_cast<std::size_t>(word_characters);
    build(Encoder::Tokenizer(std::in_place_index<0>, std::move(vocabulary), lowercase,
                             strip_accents, std::move(unknown), std::move(cls), std::move(sep),
                             std::move(prefix), max_characters));
  } else if (type == "ByteBPE") {
    std::vector<std::pair<std::string, std::string>> merges;
    for (const JsonValue& merge : tokenizer.at("merges", kTokenizerContext)
                                      .as_array("assets.transformer.tokenizer.merges")) {
      const JsonValue::Array& pair = merge.as_array("assets.transformer.tokenizer.merges[]");
      if (pair.size() != 2) {
        throw TransformerError("byte BPE merge must contain exactly two tokens");
      }
      merges.emplace_back(pair[0].as_string("assets.transformer.tokenizer.merges[][0]"),
                          pair[1].as_string("assets.transformer.tokenizer.merges[][1]"));
    }
    const bool add_prefix_space = tokenizer_bool(tokenizer, "add_prefix_space");
    std::string unknown = tokenizer_string(tokenizer, "unknown_token");
    unknown_id_ = vocabulary_id(vocabulary, unknown);
    std::string cls = tokenizer_string(tokenizer, "cls_token");
    std::string sep = tokenizer_string(tokenizer, "sep_token");
    build(Encoder::Tokenizer(std::in_place_index<1>, std::move(vocabulary), std::move(merges),
                             std::move(unknown), std::move(cls), std::move(sep), add_prefix_space));
  } else if (type == "XLMRobertaUnigram") {
    std::vector<float> scores;
    for (const JsonValue& score : tokenizer.at("scores", kTokenizerContext)
                                      .as_array("assets.transformer.tokenizer.scores")) {
      scores.push_back(
          static_cast<float>(score.as_number("assets.transformer.tokenizer.scores[]")));
    }
    std::vector<unsigned char> charsmap =
        decode_base64_charsmap(tokenizer_string(tokenizer, "precompiled_charsmap"));
    const long long unknown_id = tokenizer.at("unknown_id", kTokenizerContext)
                                     .as_integer("assets.transformer.tokenizer.unknown_id");
    unknown_id_ = unknown_id;
    std::string cls = tokenizer_string(tokenizer, "cls_token");
    std::string sep = tokenizer_string(tokenizer, "sep_token");
    build(Encoder::Tokenizer(std::in_place_index<2>, std::move(vocabulary), std::move(scores),
                             std::move(charsmap), unknown_id, std::move(cls), std::move(sep)));
  } else {
    throw TransformerError("unsupported native transformer tokenizer type: " + type);
  }
}

NativeTransformer::~NativeTransformer() = default;

at::Tensor NativeTransformer::checked_width(at::Tensor rows) const {
  if (rows.size(0) == 0) {
    return at::empty({0, hidden_size_}, at::TensorOptions().dtype(at::kFloat));
  }
  if (rows.size(1) != hidden_size_) {
    throw TransformerError("AOTInductor transformer output hidden size disagrees with assets");
  }
  return rows;
}

at::Tensor NativeTransformer::encode(const std::vector<std::string>& words,
                                     bool keep_endpoints) const {
  // Every layer's products are at least one row per word by the hidden width
  // squared; wide encoders pay for the team even over a few words.
  // The plan's call already holds its work to the calling thread; the
  // encoder's own entry would hold it again, inside the lent team.
  const TeamProduct team(static_cast<std::int64_t>(words.size()) * hidden_size_ * hidden_size_);
  return checked_width(encoder_->impl_->encode_words(words, keep_endpoints));
}

WordPieceEncoding NativeTransformer::tokenize(const std::vector<std::string>& words,
                                              bool add_special_tokens) const {
  return encoder_->tokenize(words, add_special_tokens);
}

at::Tensor NativeTransformer::encode_ids(const std::vector<std::int64_t>& input_ids,
                                         const std::vector<std::int64_t>& attention_mask) const {
  if (input_ids.empty()) {
    return at::empty({0, hidden_size_}, at::TensorOptions().dtype(at::kFloat));
  }
  const TeamProduct team(static_cast<std::int64_t>(input_ids.size()) * hidden_size_ * hidden_size_);
  return checked_width(encoder_->impl_->run(input_ids.data(), input_ids.size(),
                                            attention_mask.data(), attention_mask.size()));
}

} // namespace velmora::detail
