#include <velmora/document.hpp>

#include <stdexcept>
#include <utility>

#include "document/document_storage_access.hpp"

namespace velmora {

using detail::cell;
using detail::kInvalidSpanView;

Span::Span(std::shared_ptr<DocumentStorage> storage, std::uint32_t row)
    : storage_(std::move(storage)), row_(row) {
  if (!storage_ || row_ >= storage_->span_count()) {
    throw std::out_of_range(kInvalidSpanView);
  }
}

std::string Span::text() const {
  return storage_->pool.get(cell(storage_->span_text, row_, kInvalidSpanView));
}

std::string Span::type() const {
  return storage_->pool.get(cell(storage_->span_type, row_, kInvalidSpanView));
}

std::optional<std::uint32_t> Span::start_char() const {
  const std::uint32_t value = cell(storage_->span_start_char, row_, kInvalidSpanView);
  return value == kAbsentOffset ? std::nullopt : std::optional<std::uint32_t>(value);
}

std::optional<std::uint32_t> Span::end_char() const {
  const std::uint32_t value = cell(storage_->span_end_char, row_, kInvalidSpanView);
  return value == kAbsentOffset ? std::nullopt : std::optional<std::uint32_t>(value);
}

TokenSequence Span::tokens() const {
  const std::uint32_t first = cell(storage_->span_first_token, row_, kInvalidSpanView);
  const std::uint32_t end = cell(storage_->span_end_token, row_, kInvalidSpanView);
  return TokenSequence(storage_, SequenceRange{first, 1, end > first ? end - first : 0u});
}

WordSequence Span::words() const {
  const std::uint32_t first = cell(storage_->span_first_word, row_, kInvalidSpanView);
  const std::uint32_t end = cell(storage_->span_end_word, row_, kInvalidSpanView);
  return WordSequence(storage_, SequenceRange{first, 1, end > first ? end - first : 0u});
}

Sentence Span::sent() const {
  return Sentence(storage_, cell(storage_->span_sentence, row_, kInvalidSpanView));
}

Document Span::doc() const {
  return Document(storage_);
}

} // namespace velmora
