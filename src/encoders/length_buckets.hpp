#pragma once

// Cutting length-sorted rows into buckets that each run padded to their
// longest row: the planning shared by every batched recurrent or padded
// computation (character language models, highway LSTMs, scorers).

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace velmora::detail {

// A half-open range [begin, end) of positions in a length-sorted order.
struct BatchRange {
  std::size_t begin = 0;
  std::size_t end = 0;
};

// The modelled cost of one dense bucket: its longest (first) length and its
// row count.
using BucketCost = std::function<double(std::int64_t longest, std::int64_t rows)>;

// The cost of a recurrent run: every padded step costs `step_cost` rows of
// work on top of its rows, which models the fixed per-step price of a
// recurrence (its weight traffic and kernel calls).
BucketCost recurrent_cost(double step_cost);

// Cuts `sorted_lengths` (non-increasing) into consecutive buckets that each
// run padded to their first entry, choosing the cut that minimises the summed
// `cost` of the buckets. A bucket takes at most `max_count` entries and k * L
// at most `max_padded` padded positions (an entry longer than that alone).
// Near-equal lengths end up together wherever rows are plentiful, while
// sparse long entries merge into wider buckets rather than run nearly alone.
std::vector<BatchRange> plan_cost_buckets(const std::vector<std::int64_t>& sorted_lengths,
                                          const BucketCost& cost, std::int64_t max_count,
                                          std::int64_t max_padded);

} // namespace velmora::detail
