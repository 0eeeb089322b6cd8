#pragma once

// Reading a sentence's words for the parser and writing its results back.

#include <string>
#include <vector>

#include <velmora/depparse.hpp>
#include <velmora/sequences.hpp>

namespace velmora::detail {

// The parser's records of a sentence's regular words, annotations copied as
// stored. Throws DepparseModelError "POS must run before depparse" for a word
// with neither UPOS nor XPOS.
std::vector<DepparseWord> collect_depparse_words(const WordSequence& words);

// The words' texts, in order, of one sentence or of each.
std::vector<std::string> depparse_texts(const std::vector<DepparseWord>& words);
std::vector<std::vector<std::string>>
depparse_texts(const std::vector<std::vector<DepparseWord>>& sentences);

// Writes each word's head (0 for the root, stored as 0) and relation, word by
// word. Throws DepparseModelError "depparse word and prediction counts
// disagree", before writing anything, when the counts differ.
void apply_predictions(const WordSequence& words, const std::vector<DepparsePrediction>& results);

} // namespace velmora::detail
