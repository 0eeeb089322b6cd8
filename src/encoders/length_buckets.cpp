#include "encoders/length_buckets.hpp"

#include <algorithm>
#include <limits>

namespace velmora::detail {

BucketCost recurrent_cost(double step_cost) {
  return [step_cost](std::int64_t longest, std::int64_t rows) {
    return static_cast<double>(longest) * (step_cost + static_cast<double>(rows));
  };
}

std::vector<BatchRange> plan_cost_buckets(const std::vector<std::int64_t>& sorted_lengths,
                                          const BucketCost& cost, std::int64_t max_count,
                                          std::int64_t max_padded) {
  // best[end]: the least cost of the entries before `end`; a bucket [first,
  // end) is only tried within the count and padding bounds, so the work is
  // linear in the entries times the widest bucket.
  const std::size_t count = sorted_lengths.size();
  std::vector<double> best(count + 1, std::numeric_limits<double>::infinity());
  std::vector<std::size_t> start(count + 1, 0);
  best[0] = 0.0;
  const std::int64_t rows_bound = std::max<std::int64_t>(max_count, 1);
  for (std::size_t first = 0; first < count; ++first) {
    const std::int64_t longest = std::max<std::int64_t>(sorted_lengths[first], 1);
    const std::int64_t widest =
        std::max<std::int64_t>(1, std::min(rows_bound, max_padded / longest));
    const std::size_t last = first + static_cast<std::size_t>(std::min<std::int64_t>(
                                         widest, static_cast<std::int64_t>(count - first)));
    for (std::size_t end = first + 1; end <= last; ++end) {
      const double total = best[first] + cost(longest, static_cast<std::int64_t>(end - first));
      if (total < best[end]) {
        best[end] = total;
        start[end] = first;
      }
    }
  }
  std::vector<BatchRange> buckets;
  for (std::size_t end = count; end > 0; end = start[end]) {
    buckets.push_back({start[end], end});
  }
  std::reverse(buckets.begin(), buckets.end());
  return buckets;
}

} // namespace velmora::detail
