#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "velmora/errors.hpp"
#include "velmora/bert_encoding.hpp"

namespace velmora {

// Byte-level BPE tokenizer of the GPT-2 / RoBERTa family: words are read as
// UTF-8 bytes written in the GPT-2 byte alphabet, cut into contraction,
// letter, number, punctuation and whitespace pre-tokens, and merged by the
// ranked merge list. Thread-safe for concurrent encode and tokenize calls.
//
// A moved-from tokenizer may only be destroyed or assigned to.
class ByteBPETokenizer {
public:
  // A token's id is its position in `vocabulary`; merges are ranked by their
  // position. Throws SubwordError.
  ByteBPETokenizer(std::vector<std::string> vocabulary,
                   std::vector<std::pair<std::string, std::string>> merges,
                   std::string unknown_token, std::string cls_token, std::string sep_token,
                   bool add_prefix_space);
  ~ByteBPETokenizer();
  ByteBPETokenizer(ByteBPETokenizer&& other) noexcept;
  ByteBPETokenizer& operator=(ByteBPETokenizer&& other) noexcept;
  ByteBPETokenizer(const ByteBPETokenizer&) = delete;
  ByteBPETokenizer& operator=(const ByteBPETokenizer&) = delete;

  // Throws SubwordError for a word that is not valid UTF-8.
  WordPieceEncoding encode(const std::vector<std::string>& words, bool add_special_tokens) const;
  // The ids of one word, without special tokens.
  std::vector<std::int64_t> tokenize(const std::string& text) const;

  std::size_t vocabulary_size() const;
  // Filled slots of the word cache.
  std::size_t cache_size() const;
  static bool highway_enabled() noexcept { return true; }

private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

} // namespace velmora
