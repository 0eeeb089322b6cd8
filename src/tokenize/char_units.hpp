#pragma once

// The tokenizer sees text as characters with their source offsets, cut into
// paragraphs whose whitespace is normalised to single spaces.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace velmora::detail::tokenize {

struct CharUnit {
  std::string text;         // the character's UTF-8 bytes; " " for whitespace in a paragraph
  std::uint32_t codepoint;  // U+0020 for whitespace in a paragraph
  std::uint32_t char_index; // code-point offset in the whole source text
};

using Paragraph = std::vector<CharUnit>;

// Throws TokenizerModelError "invalid UTF-8 sequence at byte offset N".
[[noreturn]] void throw_invalid_utf8(std::size_t byte_offset);

// One unit per code point. Invalid UTF-8 throws TokenizerModelError.
std::vector<CharUnit> make_char_units(const char* data, std::size_t size);

// Whitespace of the paragraph scan and of normalisation, and the narrower set
// trimmed from a paragraph's end.
bool is_tokenizer_space(std::uint32_t codepoint);
bool is_trailing_space(std::uint32_t codepoint);

// Paragraphs are separated by a line feed followed by whitespace holding
// another line feed. Never yields an empty paragraph.
std::vector<Paragraph> split_paragraphs(const char* data, std::size_t size, bool skip_newline);

// The units' texts concatenated.
std::string join_units(const Paragraph& paragraph);

} // namespace velmora::detail::tokenize
