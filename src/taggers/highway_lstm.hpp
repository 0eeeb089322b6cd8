#pragma once

// The highway LSTM stack of the part-of-speech tagger and the dependency
// parser: bidirectional one-layer LSTMs, each followed by a gated highway
// connection from the layer's input. One sentence runs dense; many sentences
// run as zero-padded, length-sorted batches over packed sequences. Both forms
// give a sentence the same rows up to rounding. Include only from .cpp files:
// it pulls in ATen.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <ATen/core/Tensor.h>

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

// Runs every layer over `input` [B, n, D], batch first, where every row uses
// all n steps (B is 1 for one sentence): [B, n, 2H], forward direction first.
at::Tensor highway_lstm_dense(at::Tensor input, const std::vector<HighwayLayerWeights>& layers);

// Runs every layer over a zero-padded batch `input` [k, L, D] whose row j
// holds `lengths[j]` real steps (non-increasing, positive, the first equal to
// L). The LSTMs read packed sequences, so padding never reaches a real row;
// the highway maps run over the padded rows too. Returns [k, L, 2H], whose
// padding rows hold no meaningful values.
at::Tensor highway_lstm_packed(at::Tensor input, const std::vector<std::int64_t>& lengths,
                               const std::vector<HighwayLayerWeights>& layers);

} // namespace velmora::detail
