// The feature encoder and the tagger LSTM: per word the sum of its static and
// delta embeddings, optional transformer vectors and its character block,
// optionally transformed, through a bidirectional LSTM. Sentences share the
// character model's and the tagger LSTM's batches; every sentence still gets
// what a run over it alone gives it.

#include <utility>

#include <ATen/TensorOperators.h>
#include <ATen/ops/cat.h>
#include <ATen/ops/embedding.h>
#include <ATen/ops/linear.h>

#include <velmora/text.hpp>

#include "encoders/calling_thread.hpp"
#include "encoders/lstm.hpp"
#include "taggers/highway_lstm.hpp"
#include "taggers/ner_impl.hpp"
#include "taggers/sentence_batches.hpp"

namespace velmora {

std::string NERPlan::Impl::vocabulary_key(const std::string& word, bool vocabulary_lower,
                                          bool replace_spaces) const {
  std::string key = lowercase ? detail::unicode_lower(word) : word;
  if (vocabulary_lower) {
    key = detail::unicode_lower(key);
  }
  return replace_spaces ? detail::no_break_spaces(key) : key;
}

NERPlan::Impl::WordIds NERPlan::Impl::word_ids(const std::vector<std::string>& words) const {
  WordIds ids;
  ids.word.reserve(words.size());
  ids.delta.reserve(words.size());
  for (const std::string& word : words) {
    const std::int64_t word_id =
        detail::unit_id(word_vocab, vocabulary_key(word, word_lower, true));
    std::int64_t delta_id = detail::unit_id(delta_vocab, vocabulary_key(word, delta_lower, false));
    // A word the pretrained vocabulary knows but the delta one does not adds
    // the delta padding row rather than the unknown-word row.
    if (word_id != detail::kUnknownId && delta_id == detail::kUnknownId) {
      delta_id = 0;
    }
    ids.word.push_back(word_id);
    ids.delta.push_back(delta_id);
  }
  return ids;
}

at::Tensor NERPlan::Impl::encode_characters(const std::vector<std::string>& words) const {
  std::vector<std::vector<std::int64_t>> sequences;
  sequences.reserve(words.size());
  for (const std::string& word : words) {
    sequences.push_back(
        detail::character_ids(char_vocab, char_lowercase ? detail::unicode_lower(word) : word));
    if (sequences.back().empty()) {
      throw NERModelError("NER cannot encode an empty token");
    }
  }
  const at::Tensor& embedding = tensor("charmodel.char_emb.weight");
  const detail::LstmShape shape{char_num_layers, true};
  return detail::run_distinct_sequences(
      sequences, [&](const at::Tensor& ids, const std::vector<std::int64_t>& lengths) {
        const std::int64_t count = ids.size(0);
        // Packed, so each word's final states are those of a run over the
        // word alone.
        const detail::LstmPackedResult run = detail::lstm_packed(
            at::embedding(embedding, ids), lengths, detail::expand_state(char_lstm_state[0], count),
            detail::expand_state(char_lstm_state[1], count), char_lstm_weights, shape, -1,
            "character LSTM");
        // The last layer's forward and backward final states, side by side.
        return run.h_n.narrow(0, 2 * char_num_layers - 2, 2)
            .transpose(0, 1)
            .reshape({count, 2 * char_hidden_dim});
      });
}

at::Tensor NERPlan::Impl::character_features(const std::vector<std::vector<std::string>>& sentences,
                                             const std::vector<std::string>& words) const {
  if (!charlm) {
    return encode_characters(words);
  }
  std::vector<std::vector<std::string>> texts = sentences;
  if (char_lowercase) {
    for (auto& sentence : texts) {
      for (std::string& word : sentence) {
        word = detail::unicode_lower(word);
      }
    }
  }
  // Sentences without words give no rows.
  return at::cat({at::cat(charlm_forward->encode_many(texts), 0),
                  at::cat(charlm_backward->encode_many(texts), 0)},
                 1);
}

at::Tensor
NERPlan::Impl::build_features(const std::vector<std::vector<std::string>>& sentences) const {
  std::vector<std::string> words;
  for (const auto& sentence : sentences) {
    words.insert(words.end(), sentence.begin(), sentence.end());
  }
  // The character block first: an empty word fails before anything else runs.
  const at::Tensor characters = character_features(sentences, words);
  WordIds ids = word_ids(words);
  std::vector<at::Tensor> blocks;
  blocks.push_back(at::embedding(tensor("word_emb.weight"), detail::id_view(ids.word)) +
                   at::embedding(tensor("delta_emb.weight"), detail::id_view(ids.delta)));
  if (use_transformer) {
    std::vector<at::Tensor> by_sentence = transformer->encode_many(sentences, false);
    std::vector<at::Tensor> rows;
    for (at::Tensor& sentence_rows : by_sentence) {
      if (sentence_rows.defined()) {
        rows.push_back(std::move(sentence_rows));
      }
    }
    blocks.push_back(at::cat(rows, 0));
  }
  blocks.push_back(characters);
  const at::Tensor features = at::cat(blocks, 1);
  // One product for all rows: the transform's weights are read once.
  return input_transform ? at::linear(features, tensor("input_transform.weight"),
                                      tensor("input_transform.bias"))
                         : features;
}

at::Tensor NERPlan::Impl::run_tagger(const at::Tensor& features,
                                     const std::vector<std::int64_t>& lengths) const {
  // Bounds a batch's padded input and output.
  constexpr std::int64_t kMaxSentences = 128;
  constexpr std::int64_t kMaxPadded = 4096;
  std::vector<at::Tensor> inputs(lengths.size());
  std::int64_t first = 0;
  for (std::size_t s = 0; s < lengths.size(); ++s) {
    if (lengths[s] > 0) {
      inputs[s] = features.narrow(0, first, lengths[s]);
    }
    first += lengths[s];
  }
  std::vector<at::Tensor> outputs;
  outputs.reserve(lengths.size());
  std::vector<at::Tensor> by_sentence(lengths.size());
  const std::vector<detail::SentenceChunk> chunks =
      detail::plan_sentence_chunks(lengths, kMaxSentences, kMaxPadded);
  // The chunks are independent: each runs whole on one thread of the team.
  detail::for_each_unit(chunks.size(), [&](std::size_t unit) {
    const detail::SentenceChunk& chunk = chunks[unit];
    const auto batch = static_cast<std::int64_t>(chunk.sentences.size());
    // Packed: each sentence's backward direction starts at its own last
    // word, as in a run over the sentence alone.
    const at::Tensor output =
        detail::lstm_packed(detail::pad_chunk(inputs, chunk), chunk.lengths,
                            detail::expand_state(tagger_lstm_state[0], batch),
                            detail::expand_state(tagger_lstm_state[1], batch), tagger_lstm_weights,
                            detail::LstmShape{num_layers, true}, -1, "word LSTM")
            .output;
    for (std::size_t j = 0; j < chunk.sentences.size(); ++j) {
      const std::size_t s = chunk.sentences[j];
      by_sentence[s] = output.select(0, static_cast<std::int64_t>(j)).narrow(0, 0, lengths[s]);
    }
  });
  for (const at::Tensor& rows : by_sentence) {
    if (rows.defined()) {
      outputs.push_back(rows);
    }
  }
  return at::cat(outputs, 0);
}

} // namespace velmora
