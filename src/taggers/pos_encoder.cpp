// The word encoder: per-word features (word, pretrained, character and
// optional transformer vectors) run through the highway LSTM stack, for one
// sentence or for length-sorted batches of many.

#include <algorithm>
#include <unordered_map>
#include <unordered_set>

#include <ATen/ops/cat.h>
#include <ATen/ops/embedding.h>
#include <ATen/ops/from_blob.h>
#include <ATen/ops/linear.h>
#include <ATen/ops/mul.h>
#include <ATen/ops/sigmoid.h>
#include <ATen/ops/zeros.h>

#include <velmora/text.hpp>

#include "encoders/lstm.hpp"
#include "taggers/pos_impl.hpp"

namespace velmora {
namespace detail {
namespace {

struct PunctuationMarks {
  std::unordered_set<std::string> question{"?", "\uFF1F", "\uFE16", "\uFE56", "\u2047"};
  std::unordered_set<std::string> exclamation{"!", "\uFF01", "\uFE15", "\uFE57", "\u203C"};
};

const PunctuationMarks& punctuation_marks() {
  static const PunctuationMarks marks;
  return marks;
}

} // namespace

at::Tensor id_tensor(const std::vector<std::int64_t>& ids) {
  return at::from_blob(const_cast<std::int64_t*>(ids.data()),
                       {static_cast<std::int64_t>(ids.size())}, at::kLong)
      .clone();
}

std::string normalize_punctuation(const std::string& word) {
  const std::vector<std::string> codepoints = split_codepoints(word);
  if (codepoints.size() < 2) {
    return word;
  }
  const PunctuationMarks& marks = punctuation_marks();
  const bool question = marks.question.count(codepoints.front()) != 0;
  if (!question && marks.exclamation.count(codepoints.front()) == 0) {
    return word;
  }
  for (std::size_t i = 1; i < codepoints.size(); ++i) {
    if (marks.question.count(codepoints[i]) == 0 && marks.exclamation.count(codepoints[i]) == 0) {
      return word;
    }
  }
  return question ? "?" : "!";
}

} // namespace detail

namespace {

std::int64_t lookup(const detail::UnitMap& vocabulary, const std::string& key) {
  const auto found = vocabulary.find(key);
  return found == vocabulary.end() ? 1 : found->second;
}

// Pretrained keys are lower-cased and spell spaces as no-break spaces.
std::string pretrain_key(const std::string& word) {
  std::string lowered = detail::unicode_lower(word);
  std::string key;
  key.reserve(lowered.size());
  for (const char byte : lowered) {
    if (byte == ' ') {
      key += "\u00A0";
    } else {
      key += byte;
    }
  }
  return key;
}

} // namespace

POSPlan::Impl::WordKeys POSPlan::Impl::word_keys(const std::vector<std::string>& words) const {
  WordKeys keys;
  keys.normalized.reserve(words.size());
  keys.word_ids.reserve(words.size());
  keys.pretrain_ids.reserve(words.size());
  for (const std::string& word : words) {
    std::string normalized = detail::normalize_punctuation(word);
    keys.word_ids.push_back(
        lookup(word_vocab, word_lower ? detail::unicode_lower(normalized) : normalized));
    keys.pretrain_ids.push_back(lookup(pretrain_vocab, pretrain_key(normalized)));
    if (!use_charlm && normalized.empty()) {
      throw POSModelError("POS cannot encode an empty word");
    }
    keys.normalized.push_back(std::move(normalized));
  }
  return keys;
}

at::Tensor POSPlan::Impl::encode_characters(const std::vector<std::string>& words) const {
  // Each distinct word runs once; longest first, as packing needs.
  std::unordered_map<std::string_view, std::size_t> distinct_index;
  std::vector<std::vector<std::int64_t>> distinct_ids;
  std::vector<std::int64_t> word_distinct;
  word_distinct.reserve(words.size());
  for (const std::string& word : words) {
    const auto [entry, inserted] = distinct_index.emplace(word, distinct_ids.size());
    if (inserted) {
      const std::vector<std::string> characters = detail::split_codepoints(word);
      if (characters.empty()) {
        throw POSModelError("POS cannot encode an empty word");
      }
      std::vector<std::int64_t>& ids = distinct_ids.emplace_back();
      ids.reserve(characters.size());
      for (const std::string& character : characters) {
        ids.push_back(lookup(char_vocab, character));
      }
    }
    word_distinct.push_back(static_cast<std::int64_t>(entry->second));
  }
  std::vector<std::int64_t> lengths;
  lengths.reserve(distinct_ids.size());
  for (const auto& ids : distinct_ids) {
    lengths.push_back(static_cast<std::int64_t>(ids.size()));
  }
  const std::vector<std::size_t> order = detail::longest_first(lengths);
  std::vector<std::int64_t> sorted_lengths;
  std::vector<std::int64_t> sorted_position(distinct_ids.size());
  sorted_lengths.reserve(order.size());
  for (std::size_t i = 0; i < order.size(); ++i) {
    sorted_lengths.push_back(lengths[order[i]]);
    sorted_position[order[i]] = static_cast<std::int64_t>(i);
  }

  // Bounds the padded id matrix and embeddings of one run.
  constexpr std::int64_t kMaxWords = 1024;
  constexpr std::int64_t kMaxPadded = 16384;
  const at::Tensor& embedding = tensor("charmodel.char_emb.weight");
  const at::Tensor& attention = tensor("charmodel.char_attn.weight");
  std::vector<at::Tensor> vectors;
  for (const detail::BatchRange& range :
       detail::plan_length_batches(sorted_lengths, kMaxWords, kMaxPadded)) {
    const auto count = static_cast<std::int64_t>(range.end - range.begin);
    const std::int64_t longest = sorted_lengths[range.begin];
    std::vector<std::int64_t> matrix(static_cast<std::size_t>(count * longest), 0);
    for (std::int64_t j = 0; j < count; ++j) {
      const auto& ids = distinct_ids[order[range.begin + static_cast<std::size_t>(j)]];
      std::copy(ids.begin(), ids.end(), matrix.begin() + j * longest);
    }
    const at::Tensor ids = at::from_blob(matrix.data(), {count, longest}, at::kLong);
    const std::vector<std::int64_t> batch_lengths(sorted_lengths.begin() + range.begin,
                                                  sorted_lengths.begin() + range.end);
    const at::Tensor output =
        detail::lstm_packed(at::embedding(embedding, ids), batch_lengths,
                            detail::expand_state(char_lstm_init[0], count),
                            detail::expand_state(char_lstm_init[1], count), char_lstm_weights,
                            detail::LstmShape{1, false}, longest)
            .output;
    // One independent gate per character; padding steps hold zero outputs.
    const at::Tensor gates = at::sigmoid(at::linear(output, attention));
    vectors.push_back(at::mul(gates, output).sum(1));
  }
  std::vector<std::int64_t> rows;
  rows.reserve(word_distinct.size());
  for (const std::int64_t distinct : word_distinct) {
    rows.push_back(sorted_position[static_cast<std::size_t>(distinct)]);
  }
  return at::cat(vectors, 0).index_select(0, detail::id_tensor(rows));
}

at::Tensor POSPlan::Impl::build_features(const std::vector<std::string>& words,
                                         const WordKeys& keys, const at::Tensor& characters,
                                         const at::Tensor* forward_rows,
                                         const at::Tensor* backward_rows) const {
  std::vector<at::Tensor> parts;
  parts.push_back(at::embedding(tensor("word_emb.weight"), detail::id_tensor(keys.word_ids)));
  parts.push_back(at::linear(
      at::embedding(tensor("pretrained_emb.weight"), detail::id_tensor(keys.pretrain_ids)),
      tensor("trans_pretrained.weight")));
  if (!use_charlm) {
    parts.push_back(at::linear(characters, tensor("trans_char.weight")));
  } else {
    at::Tensor forward = forward_rows != nullptr ? *forward_rows : charlm_forward->encode(words);
    at::Tensor backward =
        backward_rows != nullptr ? *backward_rows : charlm_backward->encode(words);
    if (charlm_transform_dim >= 1) {
      forward = at::linear(forward, tensor("charmodel_forward_transform.weight"));
      backward = at::linear(backward, tensor("charmodel_backward_transform.weight"));
    }
    parts.push_back(std::move(forward));
    parts.push_back(std::move(backward));
  }
  if (use_transformer) {
    parts.push_back(transformer->encode(words, false));
  }
  return at::cat(parts, 1).unsqueeze(0);
}

at::Tensor POSPlan::Impl::encode_sentence(const std::vector<std::string>& words) const {
  const WordKeys keys = word_keys(words);
  const at::Tensor characters = use_charlm ? at::Tensor() : encode_characters(keys.normalized);
  return detail::highway_lstm_dense(build_features(words, keys, characters, nullptr, nullptr),
                                    tagger_layers)
      .squeeze(0);
}

std::vector<detail::BatchRange>
POSPlan::Impl::plan_batches(const std::vector<std::int64_t>& lengths) const {
  return detail::plan_length_batches(lengths, batch_size, batch_maximum_tokens);
}

std::vector<at::Tensor>
POSPlan::Impl::encode_batch(const std::vector<std::vector<std::string>>& sentences,
                            const std::vector<at::Tensor>& forward_rows,
                            const std::vector<at::Tensor>& backward_rows) const {
  // Every word is checked and looked up, sentence by sentence, before any
  // model runs; the character model then runs once over all of them.
  std::vector<WordKeys> keys(sentences.size());
  std::vector<std::int64_t> lengths(sentences.size(), 0);
  std::vector<std::string> all_words;
  for (std::size_t s = 0; s < sentences.size(); ++s) {
    keys[s] = word_keys(sentences[s]);
    lengths[s] = static_cast<std::int64_t>(sentences[s].size());
    if (!use_charlm) {
      all_words.insert(all_words.end(), keys[s].normalized.begin(), keys[s].normalized.end());
    }
  }
  const at::Tensor characters =
      use_charlm || all_words.empty() ? at::Tensor() : encode_characters(all_words);

  std::vector<at::Tensor> features(sentences.size());
  std::int64_t first_word = 0;
  for (std::size_t s = 0; s < sentences.size(); ++s) {
    if (sentences[s].empty()) {
      continue;
    }
    const at::Tensor rows =
        characters.defined() ? characters.narrow(0, first_word, lengths[s]) : at::Tensor();
    first_word += lengths[s];
    features[s] =
        build_features(sentences[s], keys[s], rows, use_charlm ? &forward_rows.at(s) : nullptr,
                       use_charlm ? &backward_rows.at(s) : nullptr)
            .squeeze(0);
  }

  const std::vector<std::size_t> order = detail::longest_first(lengths);
  std::vector<std::int64_t> sorted_lengths;
  sorted_lengths.reserve(order.size());
  for (const std::size_t s : order) {
    sorted_lengths.push_back(lengths[s]);
  }

  std::vector<at::Tensor> encoded(sentences.size());
  for (const detail::BatchRange& range : plan_batches(sorted_lengths)) {
    const auto count = static_cast<std::int64_t>(range.end - range.begin);
    const std::int64_t longest = sorted_lengths[range.begin];
    const at::Tensor& first = features[order[range.begin]];
    at::Tensor batch = at::zeros({count, longest, first.size(1)}, first.options());
    const std::vector<std::int64_t> batch_lengths(sorted_lengths.begin() + range.begin,
                                                  sorted_lengths.begin() + range.end);
    for (std::int64_t j = 0; j < count; ++j) {
      const at::Tensor& rows = features[order[range.begin + j]];
      batch.select(0, j).narrow(0, 0, rows.size(0)).copy_(rows);
    }
    const at::Tensor output = detail::highway_lstm_packed(batch, batch_lengths, tagger_layers);
    for (std::int64_t j = 0; j < count; ++j) {
      const std::size_t s = order[range.begin + j];
      encoded[s] = output.select(0, j).narrow(0, 0, lengths[s]).contiguous();
    }
  }
  return encoded;
}

} // namespace velmora
