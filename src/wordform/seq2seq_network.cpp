#include <algorithm>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include <ATen/TensorOperators.h>
#include <ATen/ops/arange.h>
#include <ATen/ops/bmm.h>
#include <ATen/ops/cat.h>
#include <ATen/ops/embedding.h>
#include <ATen/ops/exp.h>
#include <ATen/ops/from_blob.h>
#include <ATen/ops/linear.h>
#include <ATen/ops/log.h>
#include <ATen/ops/log_sigmoid.h>
#include <ATen/ops/log_softmax.h>
#include <ATen/ops/logsumexp.h>
#include <ATen/ops/max.h>
#include <ATen/ops/relu.h>
#include <ATen/ops/sigmoid.h>
#include <ATen/ops/softmax.h>
#include <ATen/ops/stack.h>
#include <ATen/ops/tanh.h>
#include <ATen/ops/zeros.h>

#include <velmora/text.hpp>

#include "encoders/lstm.hpp"
#include "wordform/seq2seq_impl.hpp"

namespace velmora {
namespace detail {

EncodedSource encode_source(const Seq2SeqVocab& vocab, std::int64_t vocab_size,
                            const std::string& word) {
  const std::vector<std::string> units = split_codepoints(word);
  EncodedSource source;
  source.ids.reserve(units.size() + 2);
  source.ids.push_back(kSeq2SeqSos);
  for (const std::string& unit : units) {
    if (const auto known = vocab.unit2id.find(unit); known != vocab.unit2id.end()) {
      source.ids.push_back(known->second);
      continue;
    }
    const auto seen = std::find(source.unknown_units.begin(), source.unknown_units.end(), unit);
    const auto index = static_cast<std::int64_t>(seen - source.unknown_units.begin());
    if (seen == source.unknown_units.end()) {
      source.unknown_units.push_back(unit);
    }
    source.ids.push_back(vocab_size + index);
  }
  source.ids.push_back(kSeq2SeqEos);
  return source;
}

} // namespace detail

detail::Seq2SeqEncoding Seq2SeqPlan::Impl::run_encoder(const at::Tensor& source_ids,
                                                       const std::vector<std::int64_t>& lengths,
                                                       const std::vector<std::int64_t>& pos_ids,
                                                       bool with_mask) const {
  // Copied code points have no embedding of their own.
  const at::Tensor input = source_ids.masked_fill(source_ids.ge(vocab_size), detail::kSeq2SeqUnk);
  at::Tensor x = at::embedding(require_tensor("embedding.weight"), input);
  const std::int64_t rows = x.size(0);

  std::vector<std::int64_t> row_lengths = lengths;
  if (pos) {
    const at::Tensor tag_ids =
        at::from_blob(const_cast<std::int64_t*>(pos_ids.data()), {rows}, at::kLong);
    // The tag becomes position 0, in front of <SOS>.
    const at::Tensor tags = at::embedding(require_tensor("pos_embedding.weight"), tag_ids);
    x = at::cat({tags.unsqueeze(1), x}, 1);
    for (std::int64_t& length : row_lengths) {
      ++length;
    }
  }

  const std::int64_t positions = x.size(1);
  const detail::LstmPackedResult run =
      detail::lstm_packed(x, row_lengths, detail::expand_state(encoder_initial_hidden, rows),
                          detail::expand_state(encoder_initial_cell, rows), encoder_weights,
                          detail::LstmShape{num_layers, true}, positions, "encoder LSTM");

  // The decoder starts from the last layer's final states, backward first.
  const std::int64_t last = 2 * num_layers - 1;
  detail::Seq2SeqEncoding encoding;
  encoding.outputs = run.output;
  encoding.hidden = at::cat({run.h_n[last], run.h_n[last - 1]}, 1);
  encoding.cell = at::cat({run.c_n[last], run.c_n[last - 1]}, 1);
  if (with_mask) {
    const at::Tensor length_tensor = at::from_blob(row_lengths.data(), {rows}, at::kLong);
    encoding.mask = at::arange(positions, at::kLong).unsqueeze(0).ge(length_tensor.unsqueeze(1));
  }
  return encoding;
}

at::Tensor Seq2SeqPlan::Impl::classify_edit(const at::Tensor& hidden) const {
  const at::Tensor inner = at::relu(
      at::linear(hidden, require_tensor("edit_clf.0.weight"), require_tensor("edit_clf.0.bias")));
  const at::Tensor logits =
      at::linear(inner, require_tensor("edit_clf.2.weight"), require_tensor("edit_clf.2.bias"));
  return std::get<1>(at::max(logits, 1));
}

detail::Seq2SeqStep
Seq2SeqPlan::Impl::decoder_step(const at::Tensor& input_ids, const at::Tensor& hidden,
                                const at::Tensor& cell, const at::Tensor& encoder_outputs,
                                const at::Tensor& source_ids, std::int64_t extended_vocab_size,
                                bool suppress_unk, const at::Tensor& mask,
                                const at::Tensor& row_limits) const {
  // A copied code point fed back as input is embedded as <UNK>; the
  // attentional vector of the previous step is not fed back.
  const at::Tensor ids = input_ids.masked_fill(input_ids.ge(vocab_size), detail::kSeq2SeqUnk);
  const at::Tensor embedded = at::embedding(require_tensor("embedding.weight"), ids);

  const at::Tensor gates = at::linear(embedded, require_tensor("decoder.lstm_cell.weight_ih"),
                                      require_tensor("decoder.lstm_cell.bias_ih")) +
                           at::linear(hidden, require_tensor("decoder.lstm_cell.weight_hh"),
                                      require_tensor("decoder.lstm_cell.bias_hh"));
  const std::vector<at::Tensor> chunks = gates.chunk(4, 1);
  const at::Tensor new_cell =
      at::sigmoid(chunks[1]) * cell + at::sigmoid(chunks[0]) * at::tanh(chunks[2]);
  const at::Tensor new_hidden = at::sigmoid(chunks[3]) * at::tanh(new_cell);

  const at::Tensor query =
      at::linear(new_hidden, require_tensor("decoder.attention_layer.linear_in.weight"));
  at::Tensor scores = at::bmm(encoder_outputs, query.unsqueeze(2)).squeeze(2);
  if (mask.defined()) {
    scores = scores.masked_fill(mask, masked_score);
  }
  at::Tensor log_attention;
  at::Tensor attention;
  if (copy) {
    log_attention = at::log_softmax(scores, 1);
    attention = at::exp(log_attention);
  } else {
    attention = at::softmax(scores, 1);
  }
  const at::Tensor context = at::bmm(attention.unsqueeze(1), encoder_outputs).squeeze(1);
  const at::Tensor attentional =
      at::tanh(at::linear(at::cat({context, new_hidden}, 1),
                          require_tensor("decoder.attention_layer.linear_out.weight")));
  at::Tensor generated = at::log_softmax(
      at::linear(attentional, require_tensor("dec2vocab.weight"), require_tensor("dec2vocab.bias")),
      1);

  at::Tensor result;
  if (!copy) {
    result = generated;
  } else {
    const at::Tensor gate = at::linear(attentional, require_tensor("copy_gate.weight"),
                                       require_tensor("copy_gate.bias"));
    const at::Tensor log_copy = at::log_sigmoid(gate);
    const at::Tensor log_generate = -at::log(at::exp(gate) + 1);

    // Copy weights renormalised over the characters (never the POS slot).
    at::Tensor char_attention = log_attention;
    if (pos) {
      char_attention = char_attention.narrow(1, 1, char_attention.size(1) - 1);
    }
    const at::Tensor copy_terms = log_copy + at::log_softmax(char_attention, 1);
    // Log-sum-exp per extended id over the positions holding it.
    const at::Tensor peak = std::get<0>(at::max(copy_terms, 1, /*keepdim=*/true));
    const at::Tensor mass =
        at::zeros({copy_terms.size(0), extended_vocab_size}, generated.options())
            .scatter_add(1, source_ids, at::exp(copy_terms - peak));
    const at::Tensor no_mass = mass.eq(0);
    const at::Tensor copied =
        (at::log(mass.masked_fill(no_mass, empty_mass)) + peak).masked_fill(no_mass, masked_score);

    if (extended_vocab_size > vocab_size) {
      // Extended ids are generated only as <UNK>.
      generated =
          at::cat({generated, generated.narrow(1, detail::kSeq2SeqUnk, 1)
                                  .expand({generated.size(0), extended_vocab_size - vocab_size})},
                  1);
    }
    result = at::logsumexp(at::stack({copied, generated + log_generate}), 0);
    if (row_limits.defined()) {
      // A row may copy only its own unknown code points.
      const at::Tensor beyond =
          at::arange(extended_vocab_size, at::kLong).unsqueeze(0).ge(row_limits.unsqueeze(1));
      result = result.masked_fill(beyond, masked_score);
    }
  }
  if (suppress_unk) {
    result.select(1, detail::kSeq2SeqUnk).fill_(-std::numeric_limits<double>::infinity());
  }
  return {result, new_hidden, new_cell};
}

} // namespace velmora
