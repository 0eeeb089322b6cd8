#include <velmora/document_storage.hpp>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <utility>

#include "document/document_storage_rows.hpp"

namespace velmora {
namespace {

template <class Column> void truncate(Column& column, std::size_t rows) {
  if (column.size() > rows) {
    column.erase(column.begin() + static_cast<std::ptrdiff_t>(rows), column.end());
  }
}

} // namespace

std::uint32_t DocumentStorage::add_empty_word(std::uint32_t sentence, WordInput word) {
  if (sentence >= sentence_empty_words.size()) {
    throw std::out_of_range("an empty word has an invalid sentence");
  }
  if (word.id < 0 || !word.empty_index || *word.empty_index < 1 || word.text.empty()) {
    throw std::invalid_argument(
        "an empty word requires a nonnegative ID, positive empty index, and non-empty text; got "
        "id=" +
        std::to_string(word.id) +
        ", empty_index=" + (word.empty_index ? std::to_string(*word.empty_index) : "none") +
        ", text_size=" + std::to_string(word.text.size()));
  }
  std::vector<std::uint32_t>& empties = sentence_empty_words[sentence];
  for (std::uint32_t row : empties) {
    if (word_id.at(row) == word.id && word_empty_index.at(row) == *word.empty_index) {
      throw std::invalid_argument("an empty word ID is duplicated within a sentence");
    }
  }
  const auto row = static_cast<std::uint32_t>(word_text.size());
  const std::uint32_t start = word.start_char ? *word.start_char : kAbsentOffset;
  const std::uint32_t end = word.end_char ? *word.end_char : kAbsentOffset;
  // Reserve first so that listing the row cannot fail once the row exists.
  empties.reserve(empties.size() + 1);
  detail::append_word_row(*this, word, sentence, kNoToken, start, end);
  empties.push_back(row);
  return row;
}

void DocumentStorage::reset_generated_empty_words() {
  const std::uint64_t keep = built_word_count;
  if (keep >= word_row_count()) {
    return;
  }
  truncate(word_sentence, keep);
  truncate(word_token, keep);
  truncate(word_id, keep);
  truncate(word_empty_index, keep);
  truncate(word_text, keep);
  truncate(word_lemma, keep);
  truncate(word_upos, keep);
  truncate(word_xpos, keep);
  truncate(word_feats, keep);
  truncate(word_head, keep);
  truncate(word_deprel, keep);
  truncate(word_deps, keep);
  truncate(word_misc, keep);
  truncate(word_start_char, keep);
  truncate(word_end_char, keep);
  truncate(word_manual_expansion, keep);
  truncate(word_morphemes, keep);
  truncate(word_coref, keep);
  for (std::vector<std::uint32_t>& empties : sentence_empty_words) {
    std::erase_if(empties, [keep](std::uint32_t row) { return row >= keep; });
  }
}

void DocumentStorage::replace(std::vector<SentenceInput> sentences) {
  const std::optional<std::string> language = pool.optional(lang);
  DocumentStorage fresh(text.bytes());
  fresh.build(sentences);
  fresh.lang = fresh.pool.intern_optional(language);
  *this = std::move(fresh);
}

} // namespace velmora
