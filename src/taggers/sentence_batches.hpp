#pragma once

// Length-sorted batching of sentences for the padded batch paths of the
// tagger and the parser.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "encoders/length_buckets.hpp"

namespace velmora::detail {

// The indexes of the positive `lengths`, stably sorted longest first: equal
// lengths keep their input order, as packing needs non-increasing lengths.
std::vector<std::size_t> longest_first(const std::vector<std::int64_t>& lengths);

// Cuts `sorted_lengths` (non-increasing) into consecutive batches. A batch
// opens with its longest entry L and takes the most entries k with k at most
// `max_count` and k * L at most `max_padded` (padded positions, not the sum of
// the lengths); an entry longer than `max_padded` forms a batch alone.
std::vector<BatchRange>
plan_length_batches(const std::vector<std::int64_t>& sorted_lengths,
                    std::int64_t max_count = std::numeric_limits<std::int64_t>::max(),
                    std::int64_t max_padded = std::numeric_limits<std::int64_t>::max());

// A batch of sentences: their input indexes, longest first, and their
// lengths in the same order (the first is the batch's longest).
struct SentenceChunk {
  std::vector<std::size_t> sentences;
  std::vector<std::int64_t> lengths;
};

// The sentences of positive length, stably sorted longest first and cut as
// plan_length_batches cuts their sorted lengths.
std::vector<SentenceChunk>
plan_sentence_chunks(const std::vector<std::int64_t>& lengths,
                     std::int64_t max_count = std::numeric_limits<std::int64_t>::max(),
                     std::int64_t max_padded = std::numeric_limits<std::int64_t>::max());

// The sentences of positive length, stably sorted longest first and cut as
// plan_cost_buckets cuts their sorted lengths.
std::vector<SentenceChunk> plan_sentence_buckets(const std::vector<std::int64_t>& lengths,
                                                 const BucketCost& cost, std::int64_t max_count,
                                                 std::int64_t max_padded);

} // namespace velmora::detail
