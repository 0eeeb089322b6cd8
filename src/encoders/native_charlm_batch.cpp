// Batched encoding: consecutive sentences share LSTM runs, so a document
// costs a few runs per 64 sentences instead of one per sentence.

#include <algorithm>
#include <limits>
#include <numeric>

#include <ATen/ops/embedding.h>
#include <ATen/ops/empty.h>
#include <ATen/ops/from_blob.h>
#include <c10/core/InferenceMode.h>

#include "encoders/lstm.hpp"
#include "encoders/native_charlm.hpp"

namespace velmora::detail {
namespace {

// Sorting stays within a chunk so that each chunk covers consecutive input
// sentences; it is bounded so that the padded id matrices stay small.
constexpr std::size_t kChunkSize = 64;

// The cost of one LSTM step of a dense run, counted in the per-row work of a
// step. Measured on a one-layer model of hidden size 1024, where a step cost
// about as much as four to eight rows; the total is flat across that range.
constexpr std::int64_t kStepCost = 6;

// Splits rows sorted longest first into consecutive groups that each run as
// one dense batch padded to its first (longest) row, choosing the split that
// minimises the modelled cost: per group, its padded length times the step
// cost plus its row count. One group per chunk pads short rows to the longest
// one; one group per row pays the per-step cost for every row. Returns the end
// index of each group.
std::vector<std::size_t> dense_groups(const std::vector<std::int64_t>& lengths) {
  const std::size_t rows = lengths.size();
  std::vector<std::int64_t> best(rows + 1, std::numeric_limits<std::int64_t>::max());
  std::vector<std::size_t> start(rows + 1, 0);
  best[0] = 0;
  for (std::size_t end = 1; end <= rows; ++end) {
    for (std::size_t first = 0; first < end; ++first) {
      const std::int64_t cost =
          best[first] + lengths[first] * (kStepCost + static_cast<std::int64_t>(end - first));
      if (cost < best[end]) {
        best[end] = cost;
        start[end] = first;
      }
    }
  }
  std::vector<std::size_t> ends;
  for (std::size_t end = rows; end > 0; end = start[end]) {
    ends.push_back(end);
  }
  std::reverse(ends.begin(), ends.end());
  return ends;
}

} // namespace

// Each group runs dense over its padded id matrix rather than packed: a
// unidirectional LSTM's output at a step depends only on the steps before
// it, so the padding after a row's end never reaches the rows read, and the
// dense kernel (the one encode() uses) runs about twice as fast per step as
// the packed one. Grouping by length keeps the padding small.
std::vector<at::Tensor>
NativeCharLM::encode_many(const std::vector<std::vector<std::string>>& sentences) const {
  c10::InferenceMode guard;
  const std::int64_t unknown = unknown_id();
  const std::int64_t start = symbol_id("\n");
  // Every stream is built (and every word validated) before any LSTM runs.
  std::vector<CharStream> streams;
  streams.reserve(sentences.size());
  for (const auto& words : sentences) {
    streams.push_back(char_stream(words, unknown));
  }
  std::vector<at::Tensor> results(sentences.size());
  const LstmShape shape{num_layers_, false};

  for (std::size_t first = 0; first < sentences.size(); first += kChunkSize) {
    const std::size_t count = std::min(kChunkSize, sentences.size() - first);
    // Longest first; equal lengths keep input order.
    std::vector<std::size_t> order(count);
    std::iota(order.begin(), order.end(), first);
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
      return streams[a].ids.size() > streams[b].ids.size();
    });
    // Sentences without words need no LSTM output; their streams hold the
    // start id alone, so they sort last.
    while (!order.empty() && streams[order.back()].positions.empty()) {
      results[order.back()] = at::empty({0, hidden_size_}, char_emb_.options());
      order.pop_back();
    }
    std::vector<std::int64_t> lengths(order.size());
    for (std::size_t row = 0; row < order.size(); ++row) {
      lengths[row] = static_cast<std::int64_t>(streams[order[row]].ids.size());
    }

    std::size_t group_first = 0;
    for (const std::size_t group_end : dense_groups(lengths)) {
      const auto batch = static_cast<std::int64_t>(group_end - group_first);
      const std::int64_t steps = lengths[group_first];
      std::vector<std::int64_t> matrix(static_cast<std::size_t>(batch * steps), start);
      for (std::size_t row = group_first; row < group_end; ++row) {
        const std::vector<std::int64_t>& ids = streams[order[row]].ids;
        std::copy(ids.begin(), ids.end(),
                  matrix.begin() + static_cast<std::ptrdiff_t>((row - group_first) * steps));
      }
      const at::Tensor ids = at::from_blob(matrix.data(), {batch, steps}, at::kLong);
      const at::Tensor output =
          lstm_dense(at::embedding(char_emb_, ids), expand_state(h_init_, batch),
                     expand_state(c_init_, batch), lstm_params_, shape);
      for (std::size_t row = group_first; row < group_end; ++row) {
        std::vector<std::int64_t>& positions = streams[order[row]].positions;
        const at::Tensor index = at::from_blob(
            positions.data(), {static_cast<std::int64_t>(positions.size())}, at::kLong);
        results[order[row]] = output.select(0, static_cast<std::int64_t>(row - group_first))
                                  .index_select(0, index)
                                  .contiguous();
      }
      group_first = group_end;
    }
  }
  return results;
}

} // namespace velmora::detail
