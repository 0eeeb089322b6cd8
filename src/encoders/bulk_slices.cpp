#include "encoders/bulk_slices.hpp"

#include <algorithm>
#include <atomic>
#include <cstdio>

#if defined(__GLIBC__)
#include <unistd.h>
#endif

#include "bundle/returning_allocator.hpp"

namespace velmora::detail {
namespace {

std::atomic<std::size_t> slice_words{kBulkSliceWords};

// Bulk calls open on this thread; the outermost one releases memory. The
// mark is the resident size when it opened or last released.
thread_local int open_bulk_calls = 0;
thread_local std::size_t resident_mark = 0;

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

// Hands back the mappings kept for reuse, and what the allocator keeps of
// freed buffers once resident memory grew past the mark.
void release_grown_memory() {
  release_kept_mappings();
  if (resident_bytes() >= resident_mark + kKeptGrowthBytes) {
    release_cached_memory();
    resident_mark = resident_bytes();
  }
}

} // namespace

std::size_t bulk_slice_words() {
  return slice_words.load(std::memory_order_relaxed);
}

BulkSliceBudget::BulkSliceBudget(std::size_t words)
    : previous_(slice_words.exchange(std::max<std::size_t>(words, 1))) {}

BulkSliceBudget::~BulkSliceBudget() {
  slice_words.store(previous_);
}

std::vector<BatchRange> plan_bulk_slices(const std::vector<std::size_t>& words) {
  const std::size_t budget = bulk_slice_words();
  std::vector<BatchRange> slices;
  std::size_t total = 0;
  for (std::size_t i = 0; i < words.size(); ++i) {
    // `budget - total` cannot wrap: a slice's total passes the budget only
    // when its first item alone does, and then nothing joins it.
    if (slices.empty() || (total > 0 && (total > budget || words[i] > budget - total))) {
      slices.push_back({i, i});
      total = 0;
    }
    slices.back().end = i + 1;
    total += words[i];
  }
  return slices;
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

std::vector<Word> WordCursor::next_slice() {
  std::vector<Word> words;
  const std::size_t budget = bulk_slice_words();
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
    resident_mark = resident_bytes();
  }
}

BulkCallScope::~BulkCallScope() {
  // Growth beyond the call's results is what the allocator kept of its
  // freed buffers; the results alone rarely reach the threshold.
  if (--open_bulk_calls == 0) {
    release_grown_memory();
  }
}

void end_bulk_stage() {
  if (open_bulk_calls > 0) {
    release_grown_memory();
  }
}

} // namespace velmora::detail
