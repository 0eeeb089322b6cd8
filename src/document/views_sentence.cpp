#include <velmora/document.hpp>

#include <algorithm>
#include <tuple>
#include <utility>

#include <velmora/conllu.hpp>

#include "document/document_storage_access.hpp"

namespace velmora {

using detail::cell;
using detail::kInvalidSentenceView;

Sentence::Sentence(std::shared_ptr<DocumentStorage> storage, std::uint32_t row)
    : storage_(std::move(storage)), row_(row) {
  if (!storage_ || row_ >= storage_->sentence_count()) {
    throw std::out_of_range(kInvalidSentenceView);
  }
}

std::optional<std::string> Sentence::sent_id() const {
  return storage_->pool.optional(cell(storage_->sentence_sent_id, row_, kInvalidSentenceView));
}

std::optional<std::string> Sentence::speaker() const {
  return storage_->pool.optional(cell(storage_->sentence_speaker, row_, kInvalidSentenceView));
}

std::optional<std::string> Sentence::doc_id() const {
  return storage_->pool.optional(cell(storage_->sentence_doc_id, row_, kInvalidSentenceView));
}

std::string Sentence::text() const {
  return storage_->pool.optional(cell(storage_->sentence_text, row_, kInvalidSentenceView))
      .value_or(std::string());
}

std::vector<std::string> Sentence::comments() const {
  return detail::pooled_strings(storage_->pool,
                                cell(storage_->sentence_comments, row_, kInvalidSentenceView));
}

std::optional<std::int32_t> Sentence::sentiment() const {
  const std::int32_t value = cell(storage_->sentence_sentiment, row_, kInvalidSentenceView);
  if (value == kAbsentInt) {
    return std::nullopt;
  }
  return value;
}

void Sentence::set_sentiment(std::optional<std::int32_t> sentiment) {
  cell(storage_->sentence_sentiment, row_, kInvalidSentenceView) =
      sentiment ? *sentiment : kAbsentInt;
}

std::optional<ConstituencyTree> Sentence::constituency() const {
  const std::shared_ptr<const TreeNode>& root =
      cell(storage_->sentence_constituency, row_, kInvalidSentenceView);
  if (!root) {
    return std::nullopt;
  }
  return ConstituencyTree(root);
}

void Sentence::set_constituency(const std::optional<ConstituencyTree>& tree) {
  cell(storage_->sentence_constituency, row_, kInvalidSentenceView) = tree ? tree->node() : nullptr;
}

Document Sentence::doc() const {
  return Document(storage_);
}

TokenSequence Sentence::tokens() const {
  const std::uint32_t first = cell(storage_->sentence_token_offsets, row_, kInvalidSentenceView);
  const std::uint32_t end =
      cell(storage_->sentence_token_offsets, std::size_t{row_} + 1, kInvalidSentenceView);
  return TokenSequence(storage_, SequenceRange{first, 1, end > first ? end - first : 0u});
}

WordSequence Sentence::words() const {
  const std::uint32_t first = cell(storage_->sentence_word_offsets, row_, kInvalidSentenceView);
  const std::uint32_t end =
      cell(storage_->sentence_word_offsets, std::size_t{row_} + 1, kInvalidSentenceView);
  return WordSequence(storage_, SequenceRange{first, 1, end > first ? end - first : 0u});
}

WordSequence Sentence::empty_words() const {
  return WordSequence(storage_, cell(storage_->sentence_empty_words, row_, kInvalidSentenceView));
}

WordSequence Sentence::all_words() const {
  const DocumentStorage& storage = *storage_;
  const std::uint32_t first = cell(storage.sentence_word_offsets, row_, kInvalidSentenceView);
  const std::uint32_t end =
      cell(storage.sentence_word_offsets, std::size_t{row_} + 1, kInvalidSentenceView);
  const std::vector<std::uint32_t>& empties =
      cell(storage.sentence_empty_words, row_, kInvalidSentenceView);

  // (id, empty index, row): a regular word's empty index is the smallest
  // 32-bit value, so word n sorts before its empty words n.1, n.2, ...
  std::vector<std::tuple<std::int32_t, std::int32_t, std::uint32_t>> keyed;
  keyed.reserve((end > first ? end - first : 0u) + empties.size());
  auto add = [&](std::uint32_t row) {
    keyed.emplace_back(cell(storage.word_id, row, detail::kInvalidWordView),
                       cell(storage.word_empty_index, row, detail::kInvalidWordView), row);
  };
  for (std::uint32_t row = first; row < end; ++row) {
    add(row);
  }
  for (std::uint32_t row : empties) {
    add(row);
  }
  std::stable_sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) {
    return std::tie(std::get<0>(a), std::get<1>(a)) < std::tie(std::get<0>(b), std::get<1>(b));
  });
  WordSequence::RowList rows;
  rows.reserve(keyed.size());
  for (const auto& entry : keyed) {
    rows.push_back(std::get<2>(entry));
  }
  return WordSequence(storage_, std::move(rows));
}

SpanSequence Sentence::ents() const {
  const std::uint32_t first = cell(storage_->sentence_span_offsets, row_, kInvalidSentenceView);
  const std::uint32_t end =
      cell(storage_->sentence_span_offsets, std::size_t{row_} + 1, kInvalidSentenceView);
  return SpanSequence(storage_, SequenceRange{first, 1, end > first ? end - first : 0u});
}

std::string Sentence::to_conll() const {
  return detail::conll_sentence(*storage_, row_);
}

} // namespace velmora
