#pragma once

// Strict UTF-8 decoding and the constant character classes of the subword
// tokenizers. Nothing here depends on ICU or on the locale: the classes are
// fixed Unicode 15.1 tables, so an encoding never changes with the host.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <velmora/text.hpp>

namespace velmora::detail {

// One decoded code point and the bytes [begin, end) it occupies.
struct CodepointSpan {
  std::uint32_t codepoint;
  std::uint64_t begin;
  std::uint64_t end;
};

// True when no byte of [data, data + size) is 0x80 or above.
inline bool is_ascii(const char* data, std::size_t size) noexcept {
  std::size_t i = 0;
  for (; i + 16 <= size; i += 16) {
    std::uint64_t a;
    std::uint64_t b;
    std::memcpy(&a, data + i, 8);
    std::memcpy(&b, data + i + 8, 8);
    if (((a | b) & 0x8080808080808080ULL) != 0) {
      return false;
    }
  }
  for (; i < size; ++i) {
    if (static_cast<unsigned char>(data[i]) >= 0x80) {
      return false;
    }
  }
  return true;
}

// The text's code points with their byte ranges; throws SubwordError
// "invalid UTF-8 sequence at byte offset N" for ill-formed input.
std::vector<CodepointSpan> decode_codepoint_spans(const char* data, std::size_t size);

inline std::vector<CodepointSpan> decode_codepoint_spans(const std::string& text) {
  return decode_codepoint_spans(text.data(), text.size());
}

// "invalid UTF-8 sequence at byte offset N": the text every UTF-8 failure of
// the tokenizers carries, whatever their error class.
std::string invalid_utf8_message(std::size_t byte_offset);

// Classes of the byte-level BPE and XLM-R tokenizers (pairwise disjoint).
bool is_subword_whitespace(std::uint32_t codepoint) noexcept;
bool is_subword_letter(std::uint32_t codepoint) noexcept;
bool is_subword_mark(std::uint32_t codepoint) noexcept;
bool is_subword_number(std::uint32_t codepoint) noexcept;

// Classes of the WordPiece normaliser and pre-tokenizer.
bool is_wordpiece_control(std::uint32_t codepoint) noexcept;
bool is_wordpiece_whitespace(std::uint32_t codepoint) noexcept;
bool is_wordpiece_punctuation(std::uint32_t codepoint) noexcept;
bool is_wordpiece_cjk(std::uint32_t codepoint) noexcept;

// What accent stripping makes of a code point: false when it stays as it is,
// else true with its replacement (possibly empty) in out/out_length.
bool wordpiece_accent_replacement(std::uint32_t codepoint, const std::uint32_t*& out,
                                  std::size_t& out_length) noexcept;

} // namespace velmora::detail
