// Batched encoding: every stream of a call is sorted by length and run in
// dense buckets of near-equal length, so the recurrence steps carry little
// padding and many rows at once.

#include <algorithm>
#include <numeric>

#include <ATen/ops/embedding.h>
#include <ATen/ops/empty.h>
#include <ATen/ops/from_blob.h>
#include <c10/core/InferenceMode.h>

#include "encoders/calling_thread.hpp"
#include "encoders/length_buckets.hpp"
#include "encoders/lstm.hpp"
#include "encoders/native_charlm.hpp"

namespace velmora::detail {
namespace {

// A step's recurrent product reads the whole recurrent weight, so its price
// does not fall with the rows it carries: on a one-layer model of hidden size
// 1024 a step cost about as much as six rows. Past about 128 rows a step
// gains no more speed per row, and the padded-position bound keeps the
// run's activations (gate inputs of four hidden widths per position) to a
// few hundred MiB.
constexpr double kStepCost = 6.0;
constexpr std::int64_t kBucketRows = 128;
constexpr std::int64_t kBucketPositions = 16384;

} // namespace

// Each bucket runs dense over its padded id matrix rather than packed: a
// unidirectional LSTM's output at a step depends only on the steps before
// it, so the padding after a row's end never reaches the rows read, and the
// dense kernel runs about twice as fast per step as the packed one.
std::vector<at::Tensor> NativeCharLM::run_streams(std::vector<CharStream>& streams,
                                                  std::size_t extension) const {
  const std::int64_t start = symbol_id("\n");
  std::vector<at::Tensor> results(streams.size());
  // Longest first, equal lengths in input order. Buckets are planned on the
  // streams without their common extension, so that a call with an
  // extension cuts exactly the buckets of the same call without it.
  // Sentences without words need no LSTM output.
  std::vector<std::size_t> order;
  order.reserve(streams.size());
  for (std::size_t s = 0; s < streams.size(); ++s) {
    if (streams[s].positions.empty()) {
      results[s] = at::empty({0, hidden_size_}, char_emb_.options());
    } else {
      order.push_back(s);
    }
  }
  const auto planned = [&](std::size_t s) {
    return static_cast<std::int64_t>(streams[s].ids.size() - extension);
  };
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return planned(a) > planned(b); });
  std::vector<std::int64_t> lengths;
  lengths.reserve(order.size());
  for (const std::size_t s : order) {
    lengths.push_back(planned(s));
  }
  const LstmShape shape{num_layers_, false};
  const std::vector<BatchRange> buckets =
      plan_cost_buckets(lengths, recurrent_cost(kStepCost), kBucketRows, kBucketPositions);
  for_each_unit(buckets.size(), [&](std::size_t unit) {
    const BatchRange& bucket = buckets[unit];
    const auto batch = static_cast<std::int64_t>(bucket.end - bucket.begin);
    const std::int64_t steps = lengths[bucket.begin] + static_cast<std::int64_t>(extension);
    std::vector<std::int64_t> matrix(static_cast<std::size_t>(batch * steps), start);
    for (std::size_t row = 0; row < static_cast<std::size_t>(batch); ++row) {
      const std::vector<std::int64_t>& ids = streams[order[bucket.begin + row]].ids;
      std::copy(ids.begin(), ids.end(),
                matrix.begin() +
                    static_cast<std::ptrdiff_t>(row * static_cast<std::size_t>(steps)));
    }
    const at::Tensor ids = at::from_blob(matrix.data(), {batch, steps}, at::kLong);
    const at::Tensor output =
        lstm_dense(at::embedding(char_emb_, ids), expand_state(h_init_, batch),
                   expand_state(c_init_, batch), lstm_params_, shape, "character model");
    for (std::size_t row = 0; row < static_cast<std::size_t>(batch); ++row) {
      const std::size_t s = order[bucket.begin + row];
      std::vector<std::int64_t>& positions = streams[s].positions;
      const at::Tensor index =
          at::from_blob(positions.data(), {static_cast<std::int64_t>(positions.size())}, at::kLong);
      results[s] =
          output.select(0, static_cast<std::int64_t>(row)).index_select(0, index).contiguous();
    }
  });
  return results;
}

std::vector<at::Tensor>
NativeCharLM::encode_many(const std::vector<std::vector<std::string>>& sentences) const {
  c10::InferenceMode guard;
  const std::int64_t unknown = unknown_id();
  // Every stream is built (and every word validated) before any LSTM runs.
  std::vector<CharStream> streams;
  streams.reserve(sentences.size());
  for (const auto& words : sentences) {
    streams.push_back(char_stream(words, unknown));
  }
  return run_streams(streams, 0);
}

// A backward stream reads the words last to first, so the stream of
// [root] + words is the stream of the words followed by the root's own
// characters and its closing space: one run serves both, and the words' rows
// are those of the stream without the root.
std::vector<at::Tensor>
NativeCharLM::encode_many_rooted(const std::vector<std::vector<std::string>>& sentences,
                                 const std::string& root) const {
  if (forward_) {
    std::vector<std::vector<std::string>> lists;
    lists.reserve(sentences.size());
    for (const auto& words : sentences) {
      std::vector<std::string>& list = lists.emplace_back();
      if (!words.empty()) {
        list.reserve(words.size() + 1);
        list.push_back(root);
        list.insert(list.end(), words.begin(), words.end());
      }
    }
    return encode_many(lists);
  }
  c10::InferenceMode guard;
  const std::int64_t unknown = unknown_id();
  const CharStream tail = char_stream({root}, unknown);
  const std::vector<std::int64_t> extension(tail.ids.begin() + 1, tail.ids.end());
  std::vector<CharStream> streams;
  streams.reserve(sentences.size());
  for (const auto& words : sentences) {
    CharStream& stream = streams.emplace_back(char_stream(words, unknown));
    if (words.empty()) {
      continue;
    }
    stream.ids.insert(stream.ids.end(), extension.begin(), extension.end());
    stream.positions.insert(stream.positions.begin(),
                            static_cast<std::int64_t>(stream.ids.size()) - 1);
  }
  // Wordless sentences carry no extension either; run_streams skips them.
  return run_streams(streams, extension.size());
}

} // namespace velmora::detail
