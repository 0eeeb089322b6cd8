#pragma once

#include <cstdint>
#include <string>

#include <velmora/document_storage.hpp>

// CoNLL-U output. Documents and sentences render through Document::to_conll
// and Sentence::to_conll; these are the helpers they share.
namespace velmora::detail {

// "_" for an absent or empty string, else the string itself with each tab
// and line break written as one space.
std::string conll_field(const StringPool& pool, std::uint32_t id);

// The ten tab-separated columns of one word row, without a line end.
std::string conll_word_line(const DocumentStorage& storage, std::uint32_t row);

// The comment block and body of one sentence row.
std::string conll_sentence(const DocumentStorage& storage, std::uint32_t row);

} // namespace velmora::detail
