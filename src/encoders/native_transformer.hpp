#pragma once

// The transformer word encoder as the model plans build it from their assets.
// Include only from .cpp files: it pulls in ATen.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <ATen/core/Tensor.h>

#include <velmora/json.hpp>
#include <velmora/model_bundle.hpp>
#include <velmora/transformer_encoder.hpp>

namespace velmora::detail {

// A TransformerEncoder over the compiled package that a plan's bundle ships
// beside its tensors, described by the assets object `transformer`:
// {backend, artifact, hidden_size, model_max_length, tokenizer}. Every row it
// returns has the width the assets promise. Immutable after construction;
// all operations are const and may run from several threads at once.
class NativeTransformer {
public:
  // Throws TransformerError for settings it cannot run, detail::JsonError for
  // missing or mistyped keys, and the tokenizer's and the encoder's errors.
  NativeTransformer(std::shared_ptr<ModelBundle> bundle, const JsonValue& transformer);
  ~NativeTransformer();
  NativeTransformer(const NativeTransformer&) = delete;
  NativeTransformer& operator=(const NativeTransformer&) = delete;

  std::int64_t hidden_size() const noexcept { return hidden_size_; }
  // The id the tokenizer gives to what its vocabulary cannot spell; each of
  // the three tokenizers requires one.
  std::int64_t unknown_id() const noexcept { return unknown_id_; }

  // float32 [rows, hidden_size()]: one row per word, with the cls and sep rows
  // first and last when `keep_endpoints` is set.
  at::Tensor encode(const std::vector<std::string>& words, bool keep_endpoints) const;
  // encode() of every non-empty sentence, one unit of the team each; an empty
  // sentence gets an undefined tensor and runs nothing. The error is the
  // first failing sentence's.
  std::vector<at::Tensor> encode_many(const std::vector<std::vector<std::string>>& sentences,
                                      bool keep_endpoints) const;
  WordPieceEncoding tokenize(const std::vector<std::string>& words, bool add_special_tokens) const;
  // One run over exactly these ids (no windows, no length limit):
  // float32 [input_ids.size(), hidden_size()]. An empty mask attends to all.
  at::Tensor encode_ids(const std::vector<std::int64_t>& input_ids,
                        const std::vector<std::int64_t>& attention_mask) const;

private:
  at::Tensor checked_width(at::Tensor rows) const;

  std::shared_ptr<ModelBundle> bundle_;
  std::unique_ptr<TransformerEncoder> encoder_;
  std::int64_t hidden_size_ = 0;
  std::int64_t unknown_id_ = -1;
};

// Strict RFC 4648 base64 (padded, no line breaks) of the XLM-R charsmap.
// Throws TransformerError.
std::vector<unsigned char> decode_base64_charsmap(std::string_view text);

} // namespace velmora::detail
