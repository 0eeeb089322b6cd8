#pragma once

// The highway LSTM stack of the part-of-speech tagger and the dependency
// parser: bidirectional one-layer LSTMs, each followed by a gated highway
// connection from the layer's input. One sentence runs as it is; many
// sentences run as zero-padded, length-sorted batches. Both forms give a
// sentence the same rows up to rounding. Include only from .cpp files:
// it pulls in ATen.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <ATen/core/Tensor.h>

#include "taggers/sentence_batches.hpp"

namespace velmora::detail {

// The weights of one highway layer; every tensor views the bundle.
struct HighwayLayerWeights {
  // The flat parameter list of a one-layer bidirectional LSTM with biases:
  // weight_ih, weight_hh, bias_ih, bias_hh of the forward direction, then of
  // the reverse direction.
  std::vector<at::Tensor> lstm;
  // {hidden, cell}, each [2, 1, H]: row 0 starts the forward direction, row 1
  // the backward one.
  std::vector<at::Tensor> initial_state;
  at::Tensor highway_weight; // [2H, input width]
  at::Tensor highway_bias;   // [2H]
  at::Tensor gate_weight;    // [2H, input width]
  at::Tensor gate_bias;      // [2H]
};

// A plan's own tensor lookup, which throws the plan's own missing-tensor error.
using TensorLookup = std::function<const at::Tensor&(std::string_view)>;

// The tensors layer `layer` of the stack `stack` ("taggerlstm", "parserlstm")
// reads by name, in the order a load checks them: the eight LSTM parameters
// `stack` + ".lstm." + layer + ".lstm." + suffix, then `stack` + ".highway." +
// layer + ".weight" and ".bias", then the same for ".gate.". The shared
// initial-state tensors `stack` + "_h_init" / "_c_init" are not among them.
std::vector<std::string> highway_layer_tensor_names(const std::string& stack, std::int64_t layer);

// The record of layer `layer`, looked up in record order: the eight LSTM
// parameters, rows 2*layer and 2*layer + 1 of `stack` + "_h_init" and of
// `stack` + "_c_init" (narrowed views; too few rows fail in the narrowing),
// then the highway weight and bias and the gate weight and bias.
HighwayLayerWeights highway_layer_weights(const TensorLookup& tensor, const std::string& stack,
                                          std::int64_t layer);

// The records of layers 0 to `count` - 1, in order.
std::vector<HighwayLayerWeights> highway_layers(const TensorLookup& tensor,
                                                const std::string& stack, std::int64_t count);

// Runs every layer over `input` [B, n, D], batch first, where every row uses
// all n steps (B is 1 for one sentence): [B, n, 2H], forward direction first.
at::Tensor highway_lstm_dense(at::Tensor input, const std::vector<HighwayLayerWeights>& layers);

// Runs every layer over a padded batch `input` [k, L, D] whose row j holds
// `lengths[j]` real steps followed by padding (any values; at most L steps).
// Padding never reaches a real row: each direction's LSTM reads only the
// real steps before (or, backward, after) a real step, and the highway maps
// act row by row. Returns [k, L, 2H], whose padding rows hold no meaningful
// values.
at::Tensor highway_lstm_padded(at::Tensor input, const std::vector<std::int64_t>& lengths,
                               const std::vector<HighwayLayerWeights>& layers);

// A zero tensor [k, longest, width] holding, at the top of slot j, the rows
// [r, width] of the chunk's j-th sentence (`rows` is indexed by sentence).
at::Tensor pad_chunk(const std::vector<at::Tensor>& rows, const SentenceChunk& chunk);

// The outputs [r, 2H] (contiguous) of many sentences' inputs [r, D] through
// the stack, in input order; an undefined input (a sentence without rows)
// gives an undefined output. Sentences run in length-sorted, zero-padded
// buckets of near-equal length, of at most `max_count` sentences (and never
// more than 512) and `max_padded` padded rows (a longer sentence alone), and
// each input is released once its bucket ran.
std::vector<at::Tensor> highway_lstm_sentences(std::vector<at::Tensor> inputs,
                                               const std::vector<HighwayLayerWeights>& layers,
                                               std::int64_t max_count, std::int64_t max_padded);

} // namespace velmora::detail
