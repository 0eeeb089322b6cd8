#pragma once

// Bulk calls in slices. A call over many documents works through its items
// (paragraphs, sentences, words or documents) a slice at a time, so that what
// a slice computes on the way (character-model rows, encoded features, arc
// scores, activations) lives for that slice only: the working memory of a
// call is bounded by the budget, whatever its number of documents or words,
// and only the documents and the call's results grow with it. Within a slice
// the models batch as they do over a whole call.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <velmora/document.hpp>

#include "document/released_memory.hpp"
#include "encoders/length_buckets.hpp"

namespace velmora::detail {

// The words one slice holds at most. Chosen by measurement of the default
// pipeline over realistic bundles: smaller slices lost speed (fewer and less
// full buckets per team call), larger ones grew the peak by about 25 KB per
// word of a slice without gaining speed.
inline constexpr std::size_t kBulkSliceWords = 16384;

// The budget in force: kBulkSliceWords unless a BulkSliceBudget is alive.
std::size_t bulk_slice_words();

// While alive, every bulk call of the process cuts its slices at `words`
// words (at least one): tests use it to make calls of a few documents run in
// several slices. Not for concurrent use with other calls.
class BulkSliceBudget {
public:
  explicit BulkSliceBudget(std::size_t words);
  ~BulkSliceBudget();
  BulkSliceBudget(const BulkSliceBudget&) = delete;
  BulkSliceBudget& operator=(const BulkSliceBudget&) = delete;

private:
  std::size_t previous_ = 0;
};

// Consecutive slices over items of `words` words each, in order: a slice
// takes items while their words stay within bulk_slice_words(), and an item
// larger than that forms a slice alone. No items give no slice.
std::vector<BatchRange> plan_bulk_slices(const std::vector<std::size_t>& words);

// The texts of a sentence's tokens or words, in order: what a slice reads
// of each of its sentences.
std::vector<std::string> sequence_texts(const TokenSequence& tokens);
std::vector<std::string> sequence_texts(const WordSequence& words);

// The words of several word sequences, in order, a slice at a time: for the
// stages that treat every word on its own.
class WordCursor {
public:
  explicit WordCursor(const std::vector<WordSequence>& sequences);

  bool done() const { return sequence_ == sequences_.size(); }
  // The next bulk_slice_words() words (fewer at the end).
  std::vector<Word> next_slice();

private:
  // Moves past the sequences whose words have all been handed out.
  void skip_finished();

  const std::vector<WordSequence>& sequences_;
  std::size_t sequence_ = 0;
  std::uint64_t word_ = 0;
};

// While alive on the calling thread, marks a bulk call; when the outermost
// one ends (also by an exception) with the process's resident memory grown
// by more than a little, the memory the allocator kept from the call's freed
// buffers goes back to the system, so that a process holds after a call what
// it held before plus the call's results.
class BulkCallScope {
public:
  BulkCallScope();
  ~BulkCallScope();
  BulkCallScope(const BulkCallScope&) = delete;
  BulkCallScope& operator=(const BulkCallScope&) = delete;
};

// Ends one stage of a pipeline's bulk call, on the thread that opened it:
// when the process's resident memory grew by more than a little since the
// call opened or since the last stage that released, what the allocator kept
// of the call's freed buffers goes back to the system now rather than when
// the call ends. Each thread's arena keeps what that thread freed, and the
// next stage's buffers are of other sizes, come from other threads or are
// mapped for themselves, so without it every stage's peak would stack on
// what the stages before it freed. Does nothing outside a bulk call.
void end_bulk_stage();

} // namespace velmora::detail
