#pragma once

// Strict UTF-8 decoding and the constant character classes of the subword
// tokenizers. Nothing here depends on ICU or on the locale: the classes are
// fixed Unicode 15.1 tables, so an encoding never changes with the host.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace velmora::detail {

// One decoded code point and the bytes [begin, end) it occupies.
struct CodepointSpan {
  std::uint32_t codepoint;
  std::uint64_t begin;
  std::uint64_t end;
};

inline constexpr std::size_t utf8_valid = static_cast<std::size_t>(-1);

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

// Walks UTF-8 by the library's one acceptance rule set and calls
// emit(codepoint, begin, end) for each code point. Returns utf8_valid, or the
// byte offset to report for the first ill-formed sequence: that of a wrong
// continuation byte, else that of the sequence's lead byte. Each caller turns
// the offset into its own error class.
template <class Emit>
std::size_t decode_utf8_with(const char* data, std::size_t size, Emit&& emit) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(data);
  std::size_t i = 0;
  while (i < size) {
    const unsigned lead = bytes[i];
    if (lead < 0x80) {
      emit(static_cast<std::uint32_t>(lead), i, i + 1);
      ++i;
      continue;
    }
    std::size_t length;
    std::uint32_t codepoint;
    std::uint32_t smallest;
    if ((lead & 0xE0) == 0xC0) {
      length = 2;
      codepoint = lead & 0x1F;
      smallest = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3;
      codepoint = lead & 0x0F;
      smallest = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4;
      codepoint = lead & 0x07;
      smallest = 0x10000;
    } else {
      return i;
    }
    if (length > size - i) {
      return i;
    }
    for (std::size_t k = 1; k < length; ++k) {
      const unsigned next = bytes[i + k];
      if ((next & 0xC0) != 0x80) {
        return i + k;
      }
      codepoint = (codepoint << 6) | (next & 0x3F);
    }
    if (codepoint < smallest || codepoint > 0x10FFFF ||
        (codepoint >= 0xD800 && codepoint <= 0xDFFF)) {
      return i;
    }
    emit(codepoint, i, i + length);
    i += length;
  }
  return utf8_valid;
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
