// The word encoder: pretrained, delta and tag embeddings with the optional
// language-model and transformer vectors, through the bidirectional word
// LSTM and the projection to one entry per word between two sentinels.

#include <ATen/ops/cat.h>
#include <ATen/ops/embedding.h>
#include <ATen/ops/linear.h>
#include <ATen/ops/relu.h>
#include <ATen/ops/zeros.h>

#include <velmora/text.hpp>

#include "constituency/constituency_impl.hpp"
#include "encoders/lstm.hpp"

namespace velmora {

std::int64_t ConstituencyPlan::Impl::word_id(const std::string& word) const {
  const auto exact = pretrain_vocab.find(detail::normalize_word(word, pretrain_lower));
  if (exact != pretrain_vocab.end() && exact->second != detail::kUnknownId) {
    return exact->second;
  }
  return detail::unit_id(pretrain_vocab,
                         detail::normalize_word(detail::unicode_lower(word), pretrain_lower));
}

std::vector<at::Tensor>
ConstituencyPlan::Impl::encode_words(const std::vector<std::string>& words,
                                     const std::vector<std::string>& tags) const {
  std::vector<std::int64_t> word_ids;
  std::vector<std::int64_t> delta_ids;
  std::vector<std::int64_t> tag_ids;
  word_ids.reserve(words.size());
  delta_ids.reserve(words.size());
  for (const std::string& word : words) {
    word_ids.push_back(word_id(word));
    delta_ids.push_back(detail::unit_id(delta_vocab, word));
  }
  std::vector<at::Tensor> pieces;
  pieces.push_back(at::embedding(tensor("embedding.weight"), detail::id_view(word_ids)));
  pieces.push_back(at::embedding(tensor("delta_embedding.weight"), detail::id_view(delta_ids)));
  if (tag_embedding_dim >= 1) {
    tag_ids.reserve(tags.size());
    for (const std::string& tag : tags) {
      tag_ids.push_back(detail::unit_id(tag_vocab, tag));
    }
    pieces.push_back(at::embedding(tensor("tag_embedding.weight"), detail::id_view(tag_ids)));
  }
  if (charlm_forward) {
    pieces.push_back(charlm_forward->encode(words));
  }
  if (charlm_backward) {
    pieces.push_back(charlm_backward->encode(words));
  }
  at::Tensor x = at::cat(pieces, 1);
  if (boundary_vectors) {
    x = at::cat({tensor("word_start_embedding").reshape({1, -1}), x,
                 tensor("word_end_embedding").reshape({1, -1})},
                0);
  }
  if (transformer) {
    x = at::cat({x, transformer->encode(words, boundary_vectors)}, 1);
  }

  const at::Tensor encoded =
      detail::lstm_dense(x.unsqueeze(0), word_lstm_init[0], word_lstm_init[1], word_lstm_weights,
                         {num_lstm_layers, true}, "word LSTM")
          .squeeze(0);
  const at::Tensor projected = at::relu(at::linear(encoded, tensor("word_to_constituent.weight"),
                                                   tensor("word_to_constituent.bias")));

  std::vector<at::Tensor> entries;
  entries.reserve(words.size() + 2);
  if (!boundary_vectors) {
    entries.push_back(at::zeros({hidden_size}, projected.options()));
  }
  for (const at::Tensor& row : projected.unbind(0)) {
    entries.push_back(row);
  }
  if (!boundary_vectors) {
    entries.push_back(at::zeros({hidden_size}, projected.options()));
  }
  return entries;
}

} // namespace velmora
