// The entry of the coreference model and its word encoding: subword ids, the
// transformer windows and the pooling of each word's subwords.

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include <ATen/TensorOperators.h>
#include <ATen/ops/cat.h>
#include <ATen/ops/from_blob.h>
#include <ATen/ops/linear.h>
#include <ATen/ops/zeros.h>
#include <c10/core/InferenceMode.h>

#include "bundle/returning_allocator.hpp"
#include "coref/coref_impl.hpp"
#include "encoders/calling_thread.hpp"

namespace velmora::detail {

at::Tensor make_index_tensor(const std::vector<std::int64_t>& values,
                             std::vector<std::int64_t> shape) {
  return id_tensor(values).view(shape);
}

std::vector<std::pair<std::int64_t, std::int64_t>>
coref_windows(const std::vector<std::size_t>& subword_sentences, std::int64_t width) {
  const auto count = static_cast<std::int64_t>(subword_sentences.size());
  std::vector<std::pair<std::int64_t, std::int64_t>> windows;
  std::int64_t start = 0;
  while (start < count) {
    std::int64_t end = count;
    if (start + width < count) {
      // Cut back to the last change of sentence before the first subword
      // that does not fit, so that the sentence it would split starts the
      // next window; a window inside one sentence keeps its full width.
      const std::size_t cut_sentence = subword_sentences[static_cast<std::size_t>(start + width)];
      std::int64_t candidate = start + width;
      while (candidate > start &&
             subword_sentences[static_cast<std::size_t>(candidate - 1)] == cut_sentence) {
        --candidate;
      }
      end = candidate > start ? candidate : start + width;
    }
    windows.emplace_back(start, end);
    start = end;
  }
  return windows;
}

CorefSubwordEncoding coref_subword_vectors(const CorefPlan::Impl& impl,
                                           const std::vector<std::string>& words,
                                           const std::vector<std::size_t>& sentence_ids) {
  CorefSubwordEncoding encoding;
  encoding.word_ranges.reserve(words.size());
  std::vector<std::int64_t> subwords;
  std::vector<std::size_t> subword_sentences;
  for (std::size_t i = 0; i < words.size(); ++i) {
    const auto listed = impl.tokenizer_map_ids.find(words[i]);
    std::vector<std::int64_t> ids = listed != impl.tokenizer_map_ids.end()
                                        ? listed->second
                                        : impl.transformer->tokenize({words[i]}, false).input_ids;
    // A word the tokenizer reads as nothing at all (a zero-width space, a
    // space) still stands in the text; it is read as unknown rather than
    // failing the document. An empty listed entry is the bundle's own choice.
    if (ids.empty() && listed == impl.tokenizer_map_ids.end() &&
        impl.transformer->unknown_id() >= 0) {
      ids.push_back(impl.transformer->unknown_id());
    }
    if (ids.empty()) {
      throw CorefModelError("coref tokenizer produced a blank word at index " + std::to_string(i));
    }
    const auto first = static_cast<std::int64_t>(subwords.size());
    subwords.insert(subwords.end(), ids.begin(), ids.end());
    subword_sentences.insert(subword_sentences.end(), ids.size(), sentence_ids[i]);
    encoding.word_ranges.emplace_back(first, static_cast<std::int64_t>(subwords.size()));
  }

  const std::int64_t start_id = impl.cls_id >= 0 ? impl.cls_id : impl.eos_id;
  const std::int64_t end_id = impl.sep_id >= 0 ? impl.sep_id : impl.eos_id;
  // Each window runs alone through the encoder: one unit of the team.
  const std::vector<std::pair<std::int64_t, std::int64_t>> windows =
      coref_windows(subword_sentences, impl.bert_window_size - 2);
  std::vector<at::Tensor> parts(windows.size());
  for_each_unit(windows.size(), [&](std::size_t w) {
    const auto [start, end] = windows[w];
    std::vector<std::int64_t> ids;
    ids.reserve(static_cast<std::size_t>(end - start + 2));
    ids.push_back(start_id);
    ids.insert(ids.end(), subwords.begin() + start, subwords.begin() + end);
    ids.push_back(end_id);
    const std::vector<std::int64_t> mask(ids.size(), 1);
    parts[w] = impl.transformer->encode_ids(ids, mask).narrow(0, 1, end - start);
  });
  encoding.vectors = parts.size() == 1 ? parts.front() : at::cat(parts, 0);
  return encoding;
}

at::Tensor coref_word_vectors(const CorefPlan::Impl& impl, const CorefSubwordEncoding& encoding) {
  const at::Tensor logits = at::linear(encoding.vectors, coref_tensor(impl, "we.attn.weight"),
                                       coref_tensor(impl, "we.attn.bias"))
                                .squeeze(-1)
                                .contiguous();
  // Each word's softmax over its own subwords; a word of one subword gets
  // weight exactly 1 and so exactly that subword's row.
  const auto subword_count = static_cast<std::size_t>(logits.size(0));
  std::vector<float> weights(subword_count);
  std::vector<std::int64_t> owners(subword_count);
  const float* logit = logits.const_data_ptr<float>();
  for (std::size_t word = 0; word < encoding.word_ranges.size(); ++word) {
    const auto [first, end] = encoding.word_ranges[word];
    const float largest = *std::max_element(logit + first, logit + end);
    float total = 0.0F;
    for (std::int64_t r = first; r < end; ++r) {
      weights[static_cast<std::size_t>(r)] = std::exp(logit[r] - largest);
      total += weights[static_cast<std::size_t>(r)];
      owners[static_cast<std::size_t>(r)] = static_cast<std::int64_t>(word);
    }
    for (std::int64_t r = first; r < end; ++r) {
      weights[static_cast<std::size_t>(r)] /= total;
    }
  }
  const auto word_count = static_cast<std::int64_t>(encoding.word_ranges.size());
  const at::Tensor weight_column =
      at::from_blob(weights.data(), {static_cast<std::int64_t>(subword_count), 1}, at::kFloat);
  at::Tensor words = at::zeros({word_count, encoding.vectors.size(1)}, encoding.vectors.options());
  words.index_add_(0, id_view(owners), encoding.vectors * weight_column);
  return words;
}

CorefPrediction coref_predict(const CorefPlan::Impl& impl, const std::vector<std::string>& words,
                              const std::vector<std::size_t>& sentence_ids,
                              const std::vector<std::string>& speakers) {
  c10::InferenceMode guard;
  // A document's pair and span scores are, like its forward passes, large
  // and few: returned as they are freed, not kept in the thread's arena.
  const ReturnedTensors returned;
  CorefPrediction prediction;
  if (words.empty()) {
    return prediction;
  }
  const at::Tensor vectors =
      coref_word_vectors(impl, coref_subword_vectors(impl, words, sentence_ids));
  prediction.word_clusters = coref_word_clusters(impl, vectors, speakers);
  coref_spans_and_zeros(impl, vectors, sentence_ids, prediction);
  return prediction;
}

} // namespace velmora::detail
