#include <velmora/sequences.hpp>

#include <limits>
#include <stdexcept>
#include <utility>

#include <velmora/document.hpp>

#include "document/document_storage_access.hpp"
#include "document/sequence_position.hpp"

namespace velmora {
namespace {

constexpr const char* kOutsideSequence = "index is outside the sequence";

using detail::advance;

// Whether `position` is start + step * k for some k below size, without
// scanning.
bool range_holds(const SequenceRange& range, std::uint64_t position) {
  if (range.size == 0) {
    return false;
  }
  if (range.step == 0) {
    return position == range.start;
  }
  std::uint64_t distance = 0;
  std::uint64_t stride = 0;
  if (range.step > 0) {
    if (position < range.start) {
      return false;
    }
    distance = position - range.start;
    stride = static_cast<std::uint64_t>(range.step);
  } else {
    if (position > range.start) {
      return false;
    }
    distance = range.start - position;
    stride = std::uint64_t{0} - static_cast<std::uint64_t>(range.step);
  }
  return distance % stride == 0 && distance / stride < range.size;
}

// Rows of views are 32-bit; a position beyond that names no row.
std::uint32_t view_row(std::uint64_t position, const char* message) {
  if (position > std::numeric_limits<std::uint32_t>::max()) {
    throw std::out_of_range(message);
  }
  return static_cast<std::uint32_t>(position);
}

} // namespace

std::uint64_t SequenceRange::resolve(std::int64_t index) const {
  std::uint64_t element = 0;
  if (index < 0) {
    const std::uint64_t back = std::uint64_t{0} - static_cast<std::uint64_t>(index);
    if (back > size) {
      throw std::out_of_range(kOutsideSequence);
    }
    element = size - back;
  } else {
    element = static_cast<std::uint64_t>(index);
    if (element >= size) {
      throw std::out_of_range(kOutsideSequence);
    }
  }
  return advance(start, step, element);
}

SequenceRange SequenceRange::slice(std::int64_t first, std::int64_t slice_step,
                                   std::uint64_t count) const {
  return SequenceRange{advance(start, step, static_cast<std::uint64_t>(first)),
                       static_cast<std::int64_t>(static_cast<std::uint64_t>(step) *
                                                 static_cast<std::uint64_t>(slice_step)),
                       count};
}

SequenceRange SequenceRange::reversed() const {
  if (size == 0) {
    return *this;
  }
  return SequenceRange{
      advance(start, step, size - 1),
      static_cast<std::int64_t>(std::uint64_t{0} - static_cast<std::uint64_t>(step)), size};
}

// --- SentenceSequence -------------------------------------------------------

SentenceSequence::SentenceSequence(std::shared_ptr<DocumentStorage> storage, SequenceRange range)
    : storage_(std::move(storage)), range_(range) {}

Sentence SentenceSequence::at(std::int64_t index) const {
  return Sentence(storage_, view_row(range_.resolve(index), detail::kInvalidSentenceView));
}

SentenceSequence SentenceSequence::slice(std::int64_t first, std::int64_t step,
                                         std::uint64_t count) const {
  return SentenceSequence(storage_, range_.slice(first, step, count));
}

SentenceSequence SentenceSequence::reversed() const {
  return SentenceSequence(storage_, range_.reversed());
}

bool SentenceSequence::contains(const Sentence& sentence) const noexcept {
  return storage_ == sentence.storage() && range_holds(range_, sentence.index());
}

// --- TokenSequence ----------------------------------------------------------

TokenSequence::TokenSequence(std::shared_ptr<DocumentStorage> storage, SequenceRange range)
    : storage_(std::move(storage)), range_(range) {}

Token TokenSequence::at(std::int64_t index) const {
  return Token(storage_, view_row(range_.resolve(index), detail::kInvalidTokenView));
}

TokenSequence TokenSequence::slice(std::int64_t first, std::int64_t step,
                                   std::uint64_t count) const {
  return TokenSequence(storage_, range_.slice(first, step, count));
}

TokenSequence TokenSequence::reversed() const {
  return TokenSequence(storage_, range_.reversed());
}

bool TokenSequence::contains(const Token& token) const noexcept {
  return storage_ == token.storage() && range_holds(range_, token.index());
}

// --- SpanSequence -----------------------------------------------------------

SpanSequence::SpanSequence(std::shared_ptr<DocumentStorage> storage, SequenceRange range)
    : storage_(std::move(storage)), range_(range) {}

Span SpanSequence::at(std::int64_t index) const {
  return Span(storage_, view_row(range_.resolve(index), detail::kInvalidSpanView));
}

SpanSequence SpanSequence::slice(std::int64_t first, std::int64_t step, std::uint64_t count) const {
  return SpanSequence(storage_, range_.slice(first, step, count));
}

SpanSequence SpanSequence::reversed() const {
  return SpanSequence(storage_, range_.reversed());
}

bool SpanSequence::contains(const Span& span) const noexcept {
  return storage_ == span.storage() && range_holds(range_, span.index());
}

// --- WordSequence -----------------------------------------------------------

WordSequence::WordSequence(std::shared_ptr<DocumentStorage> storage, SequenceRange range)
    : storage_(std::move(storage)), range_(range) {}

WordSequence::WordSequence(std::shared_ptr<DocumentStorage> storage, RowList rows)
    : storage_(std::move(storage)), range_{0, 1, rows.size()},
      rows_(std::make_shared<const RowList>(std::move(rows))) {}

WordSequence::WordSequence(std::shared_ptr<DocumentStorage> storage, SequenceRange range,
                           std::shared_ptr<const RowList> rows)
    : storage_(std::move(storage)), range_(range), rows_(std::move(rows)) {}

std::uint64_t WordSequence::resolve(std::int64_t index) const {
  const std::uint64_t position = range_.resolve(index);
  if (!rows_) {
    return position;
  }
  if (position >= rows_->size()) {
    throw std::out_of_range(kOutsideSequence);
  }
  return (*rows_)[position];
}

Word WordSequence::at(std::int64_t index) const {
  const std::uint64_t row = resolve(index);
  // The ROOT row is never an element; Word would read it as ROOT otherwise.
  if (row >= Word::kRootRow) {
    throw std::out_of_range(detail::kInvalidWordView);
  }
  return Word(storage_, static_cast<std::uint32_t>(row), Word::kNoSentence);
}

WordSequence WordSequence::slice(std::int64_t first, std::int64_t step, std::uint64_t count) const {
  return WordSequence(storage_, range_.slice(first, step, count), rows_);
}

WordSequence WordSequence::reversed() const {
  return WordSequence(storage_, range_.reversed(), rows_);
}

bool WordSequence::contains(const Word& word) const noexcept {
  if (storage_ != word.storage() || range_.size == 0 || word.is_root()) {
    return false;
  }
  if (!rows_) {
    return range_holds(range_, word.index());
  }
  for (std::uint64_t i = 0; i < range_.size; ++i) {
    const std::uint64_t position = advance(range_.start, range_.step, i);
    if (position < rows_->size() && (*rows_)[position] == word.index()) {
      return true;
    }
  }
  return false;
}

} // namespace velmora
