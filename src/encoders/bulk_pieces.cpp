#include "encoders/bulk_pieces.hpp"

#include <algorithm>
#include <atomic>
#include <cstdio>

#if defined(__GLIBC__)
#include <unistd.h>
#endif

namespace velmora::detail {
namespace {

std::atomic<std::size_t> piece_words{kBulkPieceWords};

// Bulk calls open on this thread; the outermost one releases memory, and
// reads the resident size when it opens.
thread_local int open_bulk_calls = 0;
thread_local std::size_t resident_at_open = 0;

template <class Sequence> std::vector<std::string> texts_of(const Sequence& sequence) {
  std::vector<std::string> texts;
  texts.reserve(sequence.size());
  for (std::uint64_t i = 0; i < sequence.size(); ++i) {
    texts.push_back(sequence.at(static_cast<std::int64_t>(i)).text());
  }
  return texts;
}

// Resident growth a call may leave without a release: below it, releasing
// costs more (walking the allocator's free lists, and the next call faulting
// the pages in again) than it returns.
constexpr std::size_t kKeptGrowthBytes = std::size_t{64} << 20;

// The process's resident bytes (0 when they cannot be read).
std::size_t resident_bytes() {
#if defined(__GLIBC__)
  std::FILE* statm = std::fopen("/proc/self/statm", "r");
  if (statm == nullptr) {
    return 0;
  }
  unsigned long size = 0;
  unsigned long resident = 0;
  const int read = std::fscanf(statm, "%lu %lu", &size, &resident);
  std::fclose(statm);
  return read == 2 ? resident * static_cast<std::size_t>(sysconf(_SC_PAGESIZE)) : 0;
#else
  return 0;
#endif
}

} // namespace

std::size_t bulk_piece_words() {
  return piece_words.load(std::memory_order_relaxed);
}

BulkPieceBudget::BulkPieceBudget(std::size_t words)
    : previous_(piece_words.exchange(std::max<std::size_t>(words, 1))) {}

BulkPieceBudget::~BulkPieceBudget() {
  piece_words.store(previous_);
}

std::vector<BatchRange> plan_bulk_pieces(const std::vector<std::size_t>& words) {
  const std::size_t budget = bulk_piece_words();
  std::vector<BatchRange> pieces;
  std::size_t total = 0;
  for (std::size_t i = 0; i < words.size(); ++i) {
    // `budget - total` cannot wrap: a piece's total passes the budget only
    // when its first item alone does, and then nothing joins it.
    if (pieces.empty() || (total > 0 && (total > budget || words[i] > budget - total))) {
      pieces.push_back({i, i});
      total = 0;
    }
    pieces.back().end = i + 1;
    total += words[i];
  }
  return pieces;
}

std::vector<std::string> sequence_texts(const TokenSequence& tokens) {
  return texts_of(tokens);
}

std::vector<std::string> sequence_texts(const WordSequence& words) {
  return texts_of(words);
}

WordCursor::WordCursor(const std::vector<WordSequence>& sequences) : sequences_(sequences) {
  skip_finished();
}

std::vector<Word> WordCursor::next_piece() {
  std::vector<Word> words;
  const std::size_t budget = bulk_piece_words();
  while (!done() && words.size() < budget) {
    words.push_back(sequences_[sequence_].at(static_cast<std::int64_t>(word_++)));
    skip_finished();
  }
  return words;
}

void WordCursor::skip_finished() {
  while (sequence_ < sequences_.size() && word_ >= sequences_[sequence_].size()) {
    ++sequence_;
    word_ = 0;
  }
}

BulkCallScope::BulkCallScope() {
  if (open_bulk_calls++ == 0) {
    resident_at_open = resident_bytes();
  }
}

BulkCallScope::~BulkCallScope() {
  if (--open_bulk_calls > 0) {
    return;
  }
  // Growth beyond the call's results is what the allocator kept of its
  // freed buffers; the results alone rarely reach the threshold.
  if (resident_bytes() >= resident_at_open + kKeptGrowthBytes) {
    release_cached_memory();
  }
}

} // namespace velmora::detail
