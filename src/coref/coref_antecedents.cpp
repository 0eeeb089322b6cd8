// Antecedent scoring and clusters: the rough bilinear scorer keeps the best
// candidates of each word, the feed-forward scorer ranks them against a fixed
// dummy score, and the chosen links join words into clusters.

#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include <ATen/TensorOperators.h>
#include <ATen/ops/cat.h>
#include <ATen/ops/leaky_relu.h>
#include <ATen/ops/linear.h>
#include <ATen/ops/matmul.h>
#include <ATen/ops/topk.h>
#include <c10/util/Exception.h>

#include "coref/coref_impl.hpp"
#include "encoders/calling_thread.hpp"

namespace velmora::detail {
namespace {

// The score of "no antecedent" (and, with singletons, the bar a start score
// must reach), as the 32-bit value the scores are compared with.
constexpr float kDummyScore = 1e-7F;

// The first linear map of the anaphoricity scorer (hidden layer 0, or the
// output when there is none) split by the blocks of its input
// [word, candidate, word * candidate, pairwise features]: the word and
// candidate blocks run once per word and the pairwise block once per table
// row, so only the product block runs per pair.
struct FirstLayer {
  at::Tensor per_word;      // [n, width], bias included
  at::Tensor per_candidate; // [n, width]
  at::Tensor product_weight;
  at::Tensor per_distance; // [9, width]
  at::Tensor per_speaker;  // [2, width], with full_pairwise
};

FirstLayer split_first_layer(const CorefPlan::Impl& impl, const at::Tensor& words) {
  const bool hidden = impl.n_hidden_layers > 0;
  const at::Tensor& weight =
      coref_tensor(impl, hidden ? "a_scorer.hidden.0.weight" : "a_scorer.out.weight");
  const at::Tensor& bias =
      coref_tensor(impl, hidden ? "a_scorer.hidden.0.bias" : "a_scorer.out.bias");
  const at::Tensor& distance = coref_tensor(impl, "pw.distance_emb.weight");
  const std::int64_t h = impl.hidden_size;
  std::int64_t speaker_width = 0;
  if (impl.full_pairwise) {
    speaker_width = coref_tensor(impl, "pw.speaker_emb.weight").size(1);
  }
  TORCH_CHECK(weight.dim() == 2 && weight.size(1) == 3 * h + speaker_width + distance.size(1),
              "coref anaphoricity input width mismatch: weight ", weight.sizes(), " for ",
              3 * h + speaker_width + distance.size(1), " input features");
  FirstLayer layer;
  layer.per_word = at::linear(words, weight.narrow(1, 0, h), bias);
  layer.per_candidate = at::linear(words, weight.narrow(1, h, h));
  layer.product_weight = weight.narrow(1, 2 * h, h);
  // The pairwise features are the speaker embedding, then the distance one.
  layer.per_distance =
      at::linear(distance, weight.narrow(1, 3 * h + speaker_width, distance.size(1)));
  if (impl.full_pairwise) {
    layer.per_speaker = at::linear(coref_tensor(impl, "pw.speaker_emb.weight"),
                                   weight.narrow(1, 3 * h, speaker_width));
  }
  return layer;
}

// Adds table rows chosen by `rows` ([b, k] int64) to `into` [b, k, width].
void add_rows(at::Tensor& into, const at::Tensor& table, const at::Tensor& rows) {
  into.add_(table.index_select(0, rows.reshape(-1)).view(into.sizes()));
}

} // namespace

std::int64_t coref_distance_bucket(std::int64_t distance) {
  distance = std::max<std::int64_t>(distance, 1);
  if (distance < 5) {
    return distance - 1;
  }
  const auto log2 =
      static_cast<std::int64_t>(std::bit_width(static_cast<std::uint64_t>(distance))) - 1;
  return std::min<std::int64_t>(log2, 6) + 2;
}

std::vector<std::vector<std::size_t>>
coref_link_clusters(const std::vector<std::int64_t>& antecedents,
                    const std::vector<bool>& may_stand_alone) {
  const std::size_t n = antecedents.size();
  std::vector<std::vector<std::size_t>> links(n);
  for (std::size_t i = 0; i < n; ++i) {
    if (antecedents[i] >= 0) {
      const auto j = static_cast<std::size_t>(antecedents[i]);
      links[i].push_back(j);
      links[j].push_back(i);
    }
  }
  std::vector<bool> visited(n, false);
  std::vector<std::vector<std::size_t>> clusters;
  for (std::size_t i = 0; i < n; ++i) {
    if (links[i].empty() || visited[i]) {
      continue;
    }
    std::vector<std::size_t>& cluster = clusters.emplace_back();
    std::vector<std::size_t> stack = {i};
    while (!stack.empty()) {
      const std::size_t v = stack.back();
      stack.pop_back();
      if (!visited[v]) {
        visited[v] = true;
        cluster.push_back(v);
        stack.insert(stack.end(), links[v].begin(), links[v].end());
      }
    }
    std::sort(cluster.begin(), cluster.end());
    cluster.erase(std::unique(cluster.begin(), cluster.end()), cluster.end());
  }
  for (std::size_t i = 0; i < may_stand_alone.size(); ++i) {
    if (may_stand_alone[i] && !visited[i]) {
      clusters.push_back({i});
    }
  }
  std::sort(clusters.begin(), clusters.end());
  return clusters;
}

std::vector<std::vector<std::size_t>>
coref_word_clusters(const CorefPlan::Impl& impl, const at::Tensor& words,
                    const std::vector<std::string>& speakers) {
  const std::int64_t n = words.size(0);
  const std::int64_t k = std::min(impl.rough_k, n);

  // Rough scores of every earlier word; the word itself and every later word
  // get minus infinity. The quadratic score matrix is made a block of rows
  // at a time, so that a long document needs memory for one block only
  // (a 100,000-word document would otherwise need 40 GB); a document of up
  // to 4096 words is one block.
  const at::Tensor projected = at::linear(words, coref_tensor(impl, "rough_scorer.bilinear.weight"),
                                          coref_tensor(impl, "rough_scorer.bilinear.bias"));
  constexpr std::int64_t kBlockScores = std::int64_t{1} << 24;
  const std::int64_t block = std::max<std::int64_t>(1, kBlockScores / std::max<std::int64_t>(n, 1));
  std::vector<at::Tensor> score_blocks;
  std::vector<at::Tensor> candidate_blocks;
  constexpr float kMasked = -std::numeric_limits<float>::infinity();
  std::int64_t top = 0;
  do { // once at least, so that an empty document gets its empty tensors
    const std::int64_t rows = std::min(block, n - top);
    at::Tensor rough;
    {
      const TeamProduct team(rows * n * words.size(1));
      rough = at::matmul(projected.narrow(0, top, rows), words.t()).contiguous();
    }
    float* row = rough.mutable_data_ptr<float>();
    for (std::int64_t i = top; i < top + rows; ++i, row += n) {
      for (std::int64_t j = i; j < n; ++j) {
        row[j] += kMasked;
      }
    }
    auto [scores, chosen] = at::topk(rough, k, 1, /*largest=*/true, /*sorted=*/false);
    score_blocks.push_back(std::move(scores));
    candidate_blocks.push_back(std::move(chosen));
    top += rows;
  } while (top < n);
  const at::Tensor rough_scores =
      score_blocks.size() == 1 ? score_blocks.front() : at::cat(score_blocks, 0);
  at::Tensor candidates =
      candidate_blocks.size() == 1 ? candidate_blocks.front() : at::cat(candidate_blocks, 0);
  candidates = candidates.contiguous();
  const std::int64_t* candidate = candidates.const_data_ptr<std::int64_t>();

  std::vector<std::int64_t> buckets(static_cast<std::size_t>(n * k));
  std::vector<std::int64_t> same_speaker(impl.full_pairwise ? buckets.size() : 0);
  for (std::int64_t i = 0; i < n; ++i) {
    for (std::int64_t c = 0; c < k; ++c) {
      const std::size_t at = static_cast<std::size_t>(i * k + c);
      buckets[at] = coref_distance_bucket(i - candidate[at]);
      if (impl.full_pairwise) {
        same_speaker[at] = speakers[static_cast<std::size_t>(i)] ==
                           speakers[static_cast<std::size_t>(candidate[at])];
      }
    }
  }
  const at::Tensor bucket_rows = make_index_tensor(buckets, {n, k});
  const at::Tensor speaker_rows =
      impl.full_pairwise ? make_index_tensor(same_speaker, {n, k}) : at::Tensor();

  const FirstLayer first = split_first_layer(impl, words);
  std::vector<std::string> hidden_names;
  for (std::int64_t layer = 1; layer < impl.n_hidden_layers; ++layer) {
    hidden_names.push_back("a_scorer.hidden." + std::to_string(3 * layer));
  }
  at::Tensor start_map;
  if (impl.singletons) {
    start_map = coref_tensor(impl, "a_scorer.start_map.weight").narrow(1, 0, k);
  }

  std::vector<std::int64_t> antecedents(static_cast<std::size_t>(n), -1);
  // One byte per word: units write their words' flags at once.
  std::vector<std::uint8_t> stands_alone(impl.singletons ? static_cast<std::size_t>(n) : 0, 0);
  // A batch holds a few tensors of one row per word and candidate (about
  // 200 KB a word for 50 candidates of width 1,024), in every thread scoring
  // a document at once: the bundle's batch, but no more words than keep one
  // such tensor near kPairBatchBytes. A word's scores do not depend on the
  // words it is batched with.
  constexpr std::int64_t kPairBatchBytes = std::int64_t{16} << 20;
  const std::int64_t pair_row_bytes =
      std::max<std::int64_t>(1, k * words.size(1) * static_cast<std::int64_t>(sizeof(float)));
  const std::int64_t batch_words = std::max<std::int64_t>(
      1, std::min(impl.a_scoring_batch_size, kPairBatchBytes / pair_row_bytes));
  const std::int64_t batches = (n + batch_words - 1) / batch_words;
  // Each batch of words is one unit of the team; a lone batch may lend the
  // team to its scorer's products instead.
  for_each_unit(static_cast<std::size_t>(batches), [&](std::size_t unit) {
    const std::int64_t s = static_cast<std::int64_t>(unit) * batch_words;
    const std::int64_t b = std::min(batch_words, n - s);
    const TeamProduct team(b * k * words.size(1) * first.product_weight.size(0));
    const at::Tensor batch_candidates = candidates.narrow(0, s, b);
    const at::Tensor word_rows = words.narrow(0, s, b);
    const at::Tensor candidate_rows =
        words.index_select(0, batch_candidates.reshape(-1)).view({b, k, words.size(1)});
    at::Tensor hidden = at::linear(word_rows.unsqueeze(1) * candidate_rows, first.product_weight);
    hidden.add_(first.per_word.narrow(0, s, b).unsqueeze(1));
    add_rows(hidden, first.per_candidate, batch_candidates);
    add_rows(hidden, first.per_distance, bucket_rows.narrow(0, s, b));
    if (impl.full_pairwise) {
      add_rows(hidden, first.per_speaker, speaker_rows.narrow(0, s, b));
    }
    if (impl.n_hidden_layers > 0) {
      hidden = at::leaky_relu(hidden, 0.01);
      for (const std::string& name : hidden_names) {
        hidden = at::leaky_relu(at::linear(hidden, coref_tensor(impl, name + ".weight"),
                                           coref_tensor(impl, name + ".bias")),
                                0.01);
      }
      hidden = at::linear(hidden, coref_tensor(impl, "a_scorer.out.weight"),
                          coref_tensor(impl, "a_scorer.out.bias"));
    }
    const at::Tensor anaphoricity = hidden.squeeze(-1);
    const at::Tensor scores = (anaphoricity + rough_scores.narrow(0, s, b)).contiguous();
    const float* score = scores.const_data_ptr<float>();
    // The dummy wins every tie, and earlier columns win ties among
    // candidates; a masked candidate (minus infinity) never wins.
    for (std::int64_t r = 0; r < b; ++r, score += k) {
      float best = kDummyScore;
      for (std::int64_t c = 0; c < k; ++c) {
        if (score[c] > best) {
          best = score[c];
          antecedents[static_cast<std::size_t>(s + r)] = candidate[(s + r) * k + c];
        }
      }
    }
    if (impl.singletons) {
      const at::Tensor starts = at::matmul(anaphoricity, start_map.t()).contiguous();
      const float* start = starts.const_data_ptr<float>();
      for (std::int64_t r = 0; r < b; ++r) {
        stands_alone[static_cast<std::size_t>(s + r)] = start[r] >= kDummyScore ? 1 : 0;
      }
    }
  });
  const std::vector<bool> may_stand_alone(stands_alone.begin(), stands_alone.end());
  return coref_link_clusters(antecedents, may_stand_alone);
}

} // namespace velmora::detail
