#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "velmora/errors.hpp"
#include "velmora/bert_encoding.hpp"

namespace velmora {

// BERT-style WordPiece tokenizer: words are normalised (optional lower-casing
// and accent stripping, control characters removed), split at whitespace,
// punctuation and CJK ideographs, and cut greedily into the longest
// vocabulary entries. Thread-safe for concurrent encode calls.
//
// A moved-from tokenizer may only be destroyed or assigned to.
class WordPieceTokenizer {
public:
  // A token's id is its position in `vocabulary`. Throws WordPieceError.
  WordPieceTokenizer(std::vector<std::string> vocabulary, bool lowercase, bool strip_accents,
                     std::string unknown_token, std::string cls_token, std::string sep_token,
                     std::string continuing_subword_prefix,
                     std::size_t max_input_characters_per_word);
  ~WordPieceTokenizer();
  WordPieceTokenizer(WordPieceTokenizer&& other) noexcept;
  WordPieceTokenizer& operator=(WordPieceTokenizer&& other) noexcept;
  WordPieceTokenizer(const WordPieceTokenizer&) = delete;
  WordPieceTokenizer& operator=(const WordPieceTokenizer&) = delete;

  // Every word yields at least one subword. Throws WordPieceError for
  // ill-formed UTF-8 (std::invalid_argument when lower-casing is on).
  WordPieceEncoding encode(const std::vector<std::string>& words, bool add_special_tokens) const;

  std::size_t vocabulary_size() const;
  // Filled slots of the word cache.
  std::size_t cache_size() const;
  static bool highway_enabled() noexcept { return true; }

private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

} // namespace velmora
