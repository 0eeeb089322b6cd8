// The word encoder: per-word features (word, pretrained, character and
// optional transformer vectors) run through the highway LSTM stack, for one
// sentence or for length-sorted batches of many.

#include <utility>

#include <ATen/ops/cat.h>
#include <ATen/ops/embedding.h>
#include <ATen/ops/linear.h>

#include <velmora/text.hpp>

#include "taggers/pos_impl.hpp"

namespace velmora {

POSPlan::Impl::WordKeys POSPlan::Impl::word_keys(const std::vector<std::string>& words) const {
  WordKeys keys;
  keys.normalized.reserve(words.size());
  keys.word_ids.reserve(words.size());
  keys.pretrain_ids.reserve(words.size());
  for (const std::string& word : words) {
    std::string normalized = detail::normalize_punctuation(word);
    keys.word_ids.push_back(
        detail::unit_id(word_vocab, word_lower ? detail::unicode_lower(normalized) : normalized));
    keys.pretrain_ids.push_back(detail::unit_id(pretrain_vocab, detail::pretrain_key(normalized)));
    keys.normalized.push_back(std::move(normalized));
  }
  return keys;
}

at::Tensor POSPlan::Impl::encode_characters(const std::vector<std::string>& words) const {
  std::vector<std::vector<std::int64_t>> sequences;
  sequences.reserve(words.size());
  for (const std::string& word : words) {
    sequences.push_back(detail::character_ids(char_vocab, word));
    if (sequences.back().empty()) {
      throw POSModelError("POS cannot encode an empty word");
    }
  }
  return detail::encode_character_ids({tensor("charmodel.char_emb.weight"),
                                       tensor("charmodel.char_attn.weight"), char_lstm_weights,
                                       char_lstm_init},
                                      sequences);
}

at::Tensor POSPlan::Impl::build_features(const std::vector<std::string>& words,
                                         const WordKeys& keys, const at::Tensor& characters,
                                         const at::Tensor* forward_rows,
                                         const at::Tensor* backward_rows,
                                         const at::Tensor* transformer_rows) const {
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
    parts.push_back(transformer_rows != nullptr ? *transformer_rows
                                                : transformer->encode(words, false));
  }
  return at::cat(parts, 1).unsqueeze(0);
}

at::Tensor POSPlan::Impl::encode_sentence(const std::vector<std::string>& words) const {
  const WordKeys keys = word_keys(words);
  const at::Tensor characters = use_charlm ? at::Tensor() : encode_characters(keys.normalized);
  return detail::highway_lstm_dense(
             build_features(words, keys, characters, nullptr, nullptr, nullptr), tagger_layers)
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
  // Every word is looked up, sentence by sentence, and checked before any
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
  const std::vector<at::Tensor> transformer_rows =
      use_transformer ? transformer->encode_many(sentences, false) : std::vector<at::Tensor>();

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
                       use_charlm ? &backward_rows.at(s) : nullptr,
                       use_transformer ? &transformer_rows[s] : nullptr)
            .squeeze(0);
  }

  return detail::highway_lstm_sentences(std::move(features), tagger_layers, batch_size,
                                        batch_maximum_tokens);
}

} // namespace velmora
