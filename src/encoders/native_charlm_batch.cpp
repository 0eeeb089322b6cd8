// Batched encoding: consecutive sentences share one packed LSTM run, so a
// document costs one run per 64 sentences instead of one per sentence.

#include <algorithm>
#include <numeric>

#include <ATen/ops/embedding.h>
#include <ATen/ops/empty.h>
#include <ATen/ops/from_blob.h>
#include <c10/core/InferenceMode.h>

#include "encoders/lstm.hpp"
#include "encoders/native_charlm.hpp"

namespace velmora::detail {
namespace {

// Sorting stays within a chunk so that each LSTM run covers consecutive input
// sentences; it is bounded so that the padded id matrix stays small.
constexpr std::size_t kChunkSize = 64;

} // namespace

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
    // Longest first, as packing requires; equal lengths keep input order.
    std::vector<std::size_t> order(count);
    std::iota(order.begin(), order.end(), first);
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
      return streams[a].ids.size() > streams[b].ids.size();
    });

    const std::size_t padded = streams[order.front()].ids.size();
    std::vector<std::int64_t> matrix(count * padded, start);
    std::vector<std::int64_t> lengths(count);
    for (std::size_t row = 0; row < count; ++row) {
      const std::vector<std::int64_t>& ids = streams[order[row]].ids;
      std::copy(ids.begin(), ids.end(), matrix.begin() + static_cast<std::ptrdiff_t>(row * padded));
      lengths[row] = static_cast<std::int64_t>(ids.size());
    }
    const auto batch = static_cast<std::int64_t>(count);
    const auto steps = static_cast<std::int64_t>(padded);
    const at::Tensor ids = at::from_blob(matrix.data(), {batch, steps}, at::kLong);
    const at::Tensor embedded = at::embedding(char_emb_, ids);
    const at::Tensor output = lstm_packed(embedded, lengths, expand_state(h_init_, batch),
                                          expand_state(c_init_, batch), lstm_params_, shape, steps)
                                  .output;

    for (std::size_t row = 0; row < count; ++row) {
      const std::size_t sentence = order[row];
      std::vector<std::int64_t>& positions = streams[sentence].positions;
      if (positions.empty()) {
        results[sentence] = at::empty({0, hidden_size_}, char_emb_.options());
        continue;
      }
      const at::Tensor index =
          at::from_blob(positions.data(), {static_cast<std::int64_t>(positions.size())}, at::kLong);
      results[sentence] =
          output.select(0, static_cast<std::int64_t>(row)).index_select(0, index).contiguous();
    }
  }
  return results;
}

} // namespace velmora::detail
