#include "taggers/sentence_batches.hpp"

#include <algorithm>
#include <functional>

namespace velmora::detail {

std::vector<std::size_t> longest_first(const std::vector<std::int64_t>& lengths) {
  std::vector<std::size_t> order;
  order.reserve(lengths.size());
  for (std::size_t i = 0; i < lengths.size(); ++i) {
    if (lengths[i] > 0) {
      order.push_back(i);
    }
  }
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return lengths[a] > lengths[b]; });
  return order;
}

std::vector<BatchRange> plan_length_batches(const std::vector<std::int64_t>& sorted_lengths,
                                            std::int64_t max_count, std::int64_t max_padded) {
  std::vector<BatchRange> batches;
  std::size_t start = 0;
  while (start < sorted_lengths.size()) {
    const std::int64_t longest = std::max<std::int64_t>(sorted_lengths[start], 1);
    const auto remaining = static_cast<std::int64_t>(sorted_lengths.size() - start);
    // Division keeps k * longest from overflowing with the unbounded defaults.
    const std::int64_t count = std::max<std::int64_t>(
        1, std::min({remaining, std::max<std::int64_t>(max_count, 1), max_padded / longest}));
    batches.push_back({start, start + static_cast<std::size_t>(count)});
    start += static_cast<std::size_t>(count);
  }
  return batches;
}

namespace {

std::vector<SentenceChunk>
chunks_of(const std::vector<std::int64_t>& lengths,
          const std::function<std::vector<BatchRange>(const std::vector<std::int64_t>&)>& plan) {
  const std::vector<std::size_t> order = longest_first(lengths);
  std::vector<std::int64_t> sorted_lengths;
  sorted_lengths.reserve(order.size());
  for (const std::size_t s : order) {
    sorted_lengths.push_back(lengths[s]);
  }
  std::vector<SentenceChunk> chunks;
  for (const BatchRange& range : plan(sorted_lengths)) {
    SentenceChunk& chunk = chunks.emplace_back();
    chunk.sentences.assign(order.begin() + static_cast<std::ptrdiff_t>(range.begin),
                           order.begin() + static_cast<std::ptrdiff_t>(range.end));
    chunk.lengths.assign(sorted_lengths.begin() + static_cast<std::ptrdiff_t>(range.begin),
                         sorted_lengths.begin() + static_cast<std::ptrdiff_t>(range.end));
  }
  return chunks;
}

} // namespace

std::vector<SentenceChunk> plan_sentence_chunks(const std::vector<std::int64_t>& lengths,
                                                std::int64_t max_count, std::int64_t max_padded) {
  return chunks_of(lengths, [&](const std::vector<std::int64_t>& sorted) {
    return plan_length_batches(sorted, max_count, max_padded);
  });
}

std::vector<SentenceChunk> plan_sentence_buckets(const std::vector<std::int64_t>& lengths,
                                                 const BucketCost& cost, std::int64_t max_count,
                                                 std::int64_t max_padded) {
  return chunks_of(lengths, [&](const std::vector<std::int64_t>& sorted) {
    return plan_cost_buckets(sorted, cost, max_count, max_padded);
  });
}

} // namespace velmora::detail
