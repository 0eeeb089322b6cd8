// Span prediction around each clustered word, and the zero-mention test of
// each clustered word.

#include <limits>
#include <unordered_map>

#include <ATen/ops/cat.h>
#include <ATen/ops/conv1d.h>
#include <ATen/ops/linear.h>
#include <ATen/ops/relu.h>

#include "coref/coref_impl.hpp"

namespace velmora::detail {
namespace {

// The position embedding row of a sentence word `offset` = head - word
// positions before the head: 63 for the head itself, 127 beyond 63 either
// way.
std::int64_t position_row(std::int64_t offset) {
  return offset >= -63 && offset <= 63 ? offset + 63 : 127;
}

// [m, 2]: the start and the end score of each of the head's sentence words.
at::Tensor boundary_scores(const CorefPlan::Impl& impl, const at::Tensor& words,
                           const std::vector<std::int64_t>& sentence_words, std::int64_t head) {
  const auto m = static_cast<std::int64_t>(sentence_words.size());
  std::vector<std::int64_t> positions;
  positions.reserve(sentence_words.size());
  for (const std::int64_t w : sentence_words) {
    positions.push_back(position_row(head - w));
  }
  const at::Tensor input =
      at::cat(
          {words.narrow(0, head, 1).expand({m, words.size(1)}),
           words.index_select(0, make_index_tensor(sentence_words, {m})),
           coref_tensor(impl, "sp.emb.weight").index_select(0, make_index_tensor(positions, {m}))},
          1)
          .unsqueeze(0);
  at::Tensor hidden = at::relu(at::linear(input, coref_tensor(impl, "sp.ffnn.0.weight"),
                                          coref_tensor(impl, "sp.ffnn.0.bias")));
  hidden = at::relu(at::linear(hidden, coref_tensor(impl, "sp.ffnn.3.weight"),
                               coref_tensor(impl, "sp.ffnn.3.bias")));
  hidden = at::linear(hidden, coref_tensor(impl, "sp.ffnn.6.weight"),
                      coref_tensor(impl, "sp.ffnn.6.bias"));
  // Width 3 with padding 1 keeps one output per sentence word.
  hidden = at::conv1d(hidden.transpose(1, 2), coref_tensor(impl, "sp.conv.0.weight"),
                      coref_tensor(impl, "sp.conv.0.bias"), 1, 1);
  hidden = at::conv1d(hidden, coref_tensor(impl, "sp.conv.1.weight"),
                      coref_tensor(impl, "sp.conv.1.bias"), 1, 1);
  return hidden.transpose(1, 2).squeeze(0).contiguous();
}

std::pair<std::size_t, std::size_t> head_span(const CorefPlan::Impl& impl, const at::Tensor& words,
                                              const std::vector<std::int64_t>& sentence_words,
                                              std::int64_t head) {
  const at::Tensor scores = boundary_scores(impl, words, sentence_words, head);
  const float* score = scores.const_data_ptr<float>();
  // Only a strictly greater score replaces the best so far: the smallest
  // word wins ties, and a NaN never wins.
  constexpr float kNone = -std::numeric_limits<float>::infinity();
  float best_start = kNone;
  float best_end = kNone;
  std::int64_t start = head;
  std::int64_t end = head + 1;
  for (std::size_t i = 0; i < sentence_words.size(); ++i) {
    const std::int64_t w = sentence_words[i];
    if (w <= head && score[2 * i] > best_start) {
      best_start = score[2 * i];
      start = w;
    }
    if (w >= head && score[2 * i + 1] > best_end) {
      best_end = score[2 * i + 1];
      end = w + 1;
    }
  }
  return {static_cast<std::size_t>(start), static_cast<std::size_t>(end)};
}

std::vector<std::int64_t> words_of_sentence(const std::vector<std::size_t>& sentence_ids,
                                            std::size_t sentence) {
  std::vector<std::int64_t> words;
  for (std::size_t w = 0; w < sentence_ids.size(); ++w) {
    if (sentence_ids[w] == sentence) {
      words.push_back(static_cast<std::int64_t>(w));
    }
  }
  return words;
}

} // namespace

void coref_spans_and_zeros(const CorefPlan::Impl& impl, const at::Tensor& words,
                           const std::vector<std::size_t>& sentence_ids,
                           CorefPrediction& prediction) {
  // Each sentence's words are gathered once, however many heads it holds.
  std::unordered_map<std::size_t, std::vector<std::int64_t>> sentences;
  std::vector<std::int64_t> heads;
  prediction.span_clusters.assign(prediction.word_clusters.size(), {});
  prediction.zero_words.assign(prediction.word_clusters.size(), {});
  for (std::size_t c = 0; c < prediction.word_clusters.size(); ++c) {
    for (const std::size_t head : prediction.word_clusters[c]) {
      auto [found, fresh] = sentences.try_emplace(sentence_ids[head]);
      if (fresh) {
        found->second = words_of_sentence(sentence_ids, sentence_ids[head]);
      }
      prediction.span_clusters[c].push_back(
          head_span(impl, words, found->second, static_cast<std::int64_t>(head)));
      heads.push_back(static_cast<std::int64_t>(head));
    }
  }
  if (!impl.use_zeros || heads.empty()) {
    return;
  }
  const at::Tensor head_rows =
      words.index_select(0, make_index_tensor(heads, {static_cast<std::int64_t>(heads.size())}));
  const at::Tensor zero_scores =
      at::linear(at::relu(at::linear(head_rows, coref_tensor(impl, "zeros_predictor.0.weight"),
                                     coref_tensor(impl, "zeros_predictor.0.bias"))),
                 coref_tensor(impl, "zeros_predictor.2.weight"),
                 coref_tensor(impl, "zeros_predictor.2.bias"))
          .squeeze(-1)
          .contiguous();
  const float* score = zero_scores.const_data_ptr<float>();
  for (std::size_t c = 0; c < prediction.word_clusters.size(); ++c) {
    for (const std::size_t word : prediction.word_clusters[c]) {
      if (*score++ > 0.0F) {
        prediction.zero_words[c].push_back(word);
      }
    }
  }
}

} // namespace velmora::detail
