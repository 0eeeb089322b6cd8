#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace velmora {

class DocumentStorage;
class Sentence;
class Token;
class Word;
class Span;

// An arithmetic range of positions: element i is at start + step * i.
struct SequenceRange {
  std::uint64_t start = 0;
  std::int64_t step = 1;
  std::uint64_t size = 0;

  // The position of element `index`; negative indexes count from the end.
  // Throws std::out_of_range "index is outside the sequence".
  std::uint64_t resolve(std::int64_t index) const;
  // `first`, `step` and `count` must already be normalised against size.
  SequenceRange slice(std::int64_t first, std::int64_t step, std::uint64_t count) const;
  SequenceRange reversed() const;
};

// Lazy random-access sequences of storage rows. They copy no annotation data
// and make a view only when an element is asked for; include
// <velmora/document.hpp> for the element types.
class SentenceSequence {
public:
  SentenceSequence() = default;
  SentenceSequence(std::shared_ptr<DocumentStorage> storage, SequenceRange range);

  std::uint64_t size() const noexcept { return range_.size; }
  Sentence at(std::int64_t index) const;
  SentenceSequence slice(std::int64_t first, std::int64_t step, std::uint64_t count) const;
  SentenceSequence reversed() const;
  bool contains(const Sentence& sentence) const noexcept;
  const SequenceRange& range() const noexcept { return range_; }
  const std::shared_ptr<DocumentStorage>& storage() const noexcept { return storage_; }

private:
  std::shared_ptr<DocumentStorage> storage_;
  SequenceRange range_;
};

class TokenSequence {
public:
  TokenSequence() = default;
  TokenSequence(std::shared_ptr<DocumentStorage> storage, SequenceRange range);

  std::uint64_t size() const noexcept { return range_.size; }
  Token at(std::int64_t index) const;
  TokenSequence slice(std::int64_t first, std::int64_t step, std::uint64_t count) const;
  TokenSequence reversed() const;
  bool contains(const Token& token) const noexcept;
  const SequenceRange& range() const noexcept { return range_; }
  const std::shared_ptr<DocumentStorage>& storage() const noexcept { return storage_; }

private:
  std::shared_ptr<DocumentStorage> storage_;
  SequenceRange range_;
};

class SpanSequence {
public:
  SpanSequence() = default;
  SpanSequence(std::shared_ptr<DocumentStorage> storage, SequenceRange range);

  std::uint64_t size() const noexcept { return range_.size; }
  Span at(std::int64_t index) const;
  SpanSequence slice(std::int64_t first, std::int64_t step, std::uint64_t count) const;
  SpanSequence reversed() const;
  bool contains(const Span& span) const noexcept;
  const SequenceRange& range() const noexcept { return range_; }
  const std::shared_ptr<DocumentStorage>& storage() const noexcept { return storage_; }

private:
  std::shared_ptr<DocumentStorage> storage_;
  SequenceRange range_;
};

// Word rows either straight from the range, or through a shared, immutable
// list of rows that the range indexes (for empty words and id-ordered words).
class WordSequence {
public:
  using RowList = std::vector<std::uint32_t>;

  WordSequence() = default;
  WordSequence(std::shared_ptr<DocumentStorage> storage, SequenceRange range);
  WordSequence(std::shared_ptr<DocumentStorage> storage, RowList rows);
  WordSequence(std::shared_ptr<DocumentStorage> storage, SequenceRange range,
               std::shared_ptr<const RowList> rows);

  std::uint64_t size() const noexcept { return range_.size; }
  Word at(std::int64_t index) const;
  // The word row of element `index`.
  std::uint64_t resolve(std::int64_t index) const;
  WordSequence slice(std::int64_t first, std::int64_t step, std::uint64_t count) const;
  WordSequence reversed() const;
  bool contains(const Word& word) const noexcept;
  const SequenceRange& range() const noexcept { return range_; }
  const std::shared_ptr<DocumentStorage>& storage() const noexcept { return storage_; }

private:
  std::shared_ptr<DocumentStorage> storage_;
  SequenceRange range_;
  std::shared_ptr<const RowList> rows_;
};

} // namespace velmora
