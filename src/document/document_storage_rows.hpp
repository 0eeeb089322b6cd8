#pragma once

#include <cstdint>
#include <string>

#include <velmora/document_storage.hpp>

namespace velmora::detail {

// Appends one word row. Every string is interned before any column grows, so
// a refused intern (a full pool) leaves the columns of equal length.
void append_word_row(DocumentStorage& storage, const WordInput& word, std::uint32_t sentence,
                     std::uint32_t token, std::uint32_t start_char, std::uint32_t end_char);

// The text of token rows [first, end): the first token's text, then for each
// further token the previous token's spaces after, its own spaces before and
// its text. No whitespace after the last token.
std::string joined_token_text(const DocumentStorage& storage, std::uint32_t first,
                              std::uint32_t end);

// True when [start, end) is a present, ordered code-point range of the text.
inline bool valid_char_range(const DocumentStorage& storage, std::uint32_t start,
                             std::uint32_t end) {
  return start != kAbsentOffset && end != kAbsentOffset && start <= end &&
         end <= storage.text.codepoint_count();
}

} // namespace velmora::detail
