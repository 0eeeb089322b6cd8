#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "velmora/errors.hpp"
#include "velmora/bert_encoding.hpp"

namespace velmora {

// SentencePiece unigram tokenizer of the XLM-RoBERTa family: words are
// normalised through the model's precompiled character map, split at
// whitespace, each piece prefixed with U+2581 and segmented by a Viterbi
// search for the highest total score. Thread-safe for concurrent encode and
// tokenize calls.
//
// A moved-from tokenizer may only be destroyed or assigned to.
class XLMRobertaTokenizer {
public:
  // A piece's id is its position in `vocabulary`; `scores` has one entry per
  // piece. Throws SubwordError.
  XLMRobertaTokenizer(std::vector<std::string> vocabulary, std::vector<float> scores,
                      std::vector<unsigned char> precompiled_charsmap, long long unknown_id,
                      std::string cls_token, std::string sep_token);
  ~XLMRobertaTokenizer();
  XLMRobertaTokenizer(XLMRobertaTokenizer&& other) noexcept;
  XLMRobertaTokenizer& operator=(XLMRobertaTokenizer&& other) noexcept;
  XLMRobertaTokenizer(const XLMRobertaTokenizer&) = delete;
  XLMRobertaTokenizer& operator=(const XLMRobertaTokenizer&) = delete;

  // Throws SubwordError for a word that is not valid UTF-8.
  WordPieceEncoding encode(const std::vector<std::string>& words, bool add_special_tokens) const;
  // The ids of one word, without special tokens.
  std::vector<std::int64_t> tokenize(const std::string& text) const;

  // Number of pieces, repeated pieces included.
  std::size_t vocabulary_size() const;
  // Filled slots of the word cache.
  std::size_t cache_size() const;
  static bool highway_enabled() noexcept { return true; }

private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

} // namespace velmora
