#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "velmora/bert_encoding.hpp"
#include "velmora/errors.hpp"

namespace at {
class Tensor;
} // namespace at

namespace velmora {

namespace detail {
class NativeTransformer;
} // namespace detail

// A pretrained transformer encoder compiled ahead of time into a model
// package, with its subword tokenizer (WordPiece, byte-level BPE or XLM-R
// unigram). Turns the words of a sentence into one vector per word: the
// output row of the word's last subword. Sentences longer than the model's
// maximum length run as overlapping windows stitched back into one sequence.
//
// The package takes input ids and an attention mask, both int64 [1, n], and
// returns one float32 [1, n, hidden] tensor. All operations are const and may
// run from several threads at once; they read, but never change, the
// process-wide intra-op thread count. A moved-from encoder may only be
// destroyed or assigned to.
class TransformerEncoder {
public:
  // WordPiece tokenizer. Throws WordPieceError from the tokenizer, then
  // TransformerError.
  TransformerEncoder(std::filesystem::path model_path, std::vector<std::string> vocabulary,
                     bool lowercase, bool strip_accents, std::size_t intra_op_threads,
                     std::size_t model_max_length, std::string unknown_token, std::string cls_token,
                     std::string sep_token, std::string continuing_subword_prefix,
                     std::size_t max_input_characters_per_word);
  // Byte-level BPE tokenizer. Throws SubwordError from the tokenizer, then
  // TransformerError.
  TransformerEncoder(std::filesystem::path model_path, std::vector<std::string> vocabulary,
                     std::vector<std::pair<std::string, std::string>> merges, bool add_prefix_space,
                     std::size_t intra_op_threads, std::size_t model_max_length,
                     std::string unknown_token, std::string cls_token, std::string sep_token);
  // XLM-R unigram tokenizer. Throws SubwordError from the tokenizer, then
  // TransformerError.
  TransformerEncoder(std::filesystem::path model_path, std::vector<std::string> vocabulary,
                     std::vector<float> scores, std::vector<unsigned char> precompiled_charsmap,
                     std::int64_t unknown_id, std::size_t intra_op_threads,
                     std::size_t model_max_length, std::string cls_token, std::string sep_token);
  ~TransformerEncoder();
  TransformerEncoder(TransformerEncoder&& other) noexcept;
  TransformerEncoder& operator=(TransformerEncoder&& other) noexcept;
  TransformerEncoder(const TransformerEncoder&) = delete;
  TransformerEncoder& operator=(const TransformerEncoder&) = delete;

  // float32 [rows, hidden]: one row per word, plus the cls row first and the
  // sep row last with `keep_endpoints`.
  at::Tensor encode_words_tensor(const std::vector<std::string>& words, bool keep_endpoints) const;
  // The rows of encode_words_tensor as vectors.
  std::vector<std::vector<float>> encode(const std::vector<std::string>& words,
                                         bool keep_endpoints) const;
  // The tokenizer's encoding; the model does not run.
  WordPieceEncoding tokenize(const std::vector<std::string>& words, bool add_special_tokens) const;
  // One model run over exactly these ids, without windows or length limit:
  // float32 [n, hidden], or [0, 0] for no ids. An empty mask attends to every
  // position.
  at::Tensor encode_ids_tensor(const std::vector<std::int64_t>& input_ids,
                               const std::vector<std::int64_t>& attention_mask) const;
  std::vector<std::vector<float>> encode_ids(const std::vector<std::int64_t>& input_ids,
                                             const std::vector<std::int64_t>& attention_mask) const;

  // The package path exactly as given.
  const std::filesystem::path& model_path() const;
  // The tensor runtime the packages are compiled against.
  static std::string runtime_version();

private:
  // Plans build their encoder over a bundle's artifact instead of a path.
  friend class detail::NativeTransformer;
  class Impl;
  explicit TransformerEncoder(std::unique_ptr<Impl> impl);

  std::unique_ptr<Impl> impl_;
};

} // namespace velmora
