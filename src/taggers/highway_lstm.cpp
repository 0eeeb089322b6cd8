#include "taggers/highway_lstm.hpp"

#include <algorithm>

#include <ATen/ops/addcmul.h>
#include <ATen/ops/cat.h>
#include <ATen/ops/from_blob.h>
#include <ATen/ops/linear.h>
#include <ATen/ops/sigmoid.h>
#include <ATen/ops/tanh.h>
#include <ATen/ops/zeros.h>

#include "encoders/lstm.hpp"

namespace velmora::detail {
namespace {

constexpr LstmShape kShape{1, true};

std::string lstm_prefix(const std::string& stack, std::int64_t layer) {
  return stack + ".lstm." + std::to_string(layer) + ".lstm.";
}

// The layer's LSTM output plus the gated highway term, both computed from the
// layer's input.
at::Tensor highway_output(const at::Tensor& input, const at::Tensor& lstm_output,
                          const HighwayLayerWeights& layer) {
  const at::Tensor transform =
      at::tanh(at::linear(input, layer.highway_weight, layer.highway_bias));
  const at::Tensor gate = at::sigmoid(at::linear(input, layer.gate_weight, layer.gate_bias));
  return at::addcmul(lstm_output, gate, transform);
}

} // namespace

std::vector<std::string> highway_layer_tensor_names(const std::string& stack, std::int64_t layer) {
  std::vector<std::string> names = lstm_parameter_names(lstm_prefix(stack, layer), kShape);
  const std::string index = std::to_string(layer);
  for (const char* part : {".highway.", ".gate."}) {
    names.push_back(stack + part + index + ".weight");
    names.push_back(stack + part + index + ".bias");
  }
  return names;
}

HighwayLayerWeights highway_layer_weights(const TensorLookup& tensor, const std::string& stack,
                                          std::int64_t layer) {
  HighwayLayerWeights record;
  record.lstm.reserve(8);
  for (const std::string& name : lstm_parameter_names(lstm_prefix(stack, layer), kShape)) {
    record.lstm.push_back(tensor(name));
  }
  record.initial_state = {tensor(stack + "_h_init").narrow(0, 2 * layer, 2),
                          tensor(stack + "_c_init").narrow(0, 2 * layer, 2)};
  const std::string index = std::to_string(layer);
  record.highway_weight = tensor(stack + ".highway." + index + ".weight");
  record.highway_bias = tensor(stack + ".highway." + index + ".bias");
  record.gate_weight = tensor(stack + ".gate." + index + ".weight");
  record.gate_bias = tensor(stack + ".gate." + index + ".bias");
  return record;
}

std::vector<HighwayLayerWeights> highway_layers(const TensorLookup& tensor,
                                                const std::string& stack, std::int64_t count) {
  std::vector<HighwayLayerWeights> layers;
  layers.reserve(static_cast<std::size_t>(std::max<std::int64_t>(count, 0)));
  for (std::int64_t layer = 0; layer < count; ++layer) {
    layers.push_back(highway_layer_weights(tensor, stack, layer));
  }
  return layers;
}

at::Tensor highway_lstm_dense(at::Tensor input, const std::vector<HighwayLayerWeights>& layers) {
  const std::int64_t batch = input.size(0);
  for (const HighwayLayerWeights& layer : layers) {
    at::Tensor h0 = layer.initial_state[0];
    at::Tensor c0 = layer.initial_state[1];
    if (batch != 1) {
      h0 = expand_state(h0, batch);
      c0 = expand_state(c0, batch);
    }
    const at::Tensor output = lstm_dense(input, h0, c0, layer.lstm, kShape);
    input = highway_output(input, output, layer);
  }
  return input;
}

at::Tensor highway_lstm_padded(at::Tensor input, const std::vector<std::int64_t>& lengths,
                               const std::vector<HighwayLayerWeights>& layers) {
  // Each direction runs as its own dense LSTM over the whole padded batch,
  // which the tensor library computes far faster than a packed run. Padding
  // follows every row's real steps, so the forward direction never reads it
  // before a real step; the backward direction reads each row reversed
  // within its length (padding left in place), and its outputs are turned
  // back the same way.
  const std::int64_t batch = input.size(0);
  const std::int64_t steps = input.size(1);
  std::vector<std::int64_t> reversal(static_cast<std::size_t>(batch * steps));
  for (std::int64_t j = 0; j < batch; ++j) {
    const std::int64_t length = lengths[static_cast<std::size_t>(j)];
    for (std::int64_t t = 0; t < steps; ++t) {
      reversal[static_cast<std::size_t>(j * steps + t)] = t < length ? length - 1 - t : t;
    }
  }
  const at::Tensor order = at::from_blob(reversal.data(), {batch, steps, 1}, at::kLong);
  const auto reversed = [&](const at::Tensor& rows) {
    return rows.gather(1, order.expand({batch, steps, rows.size(2)}));
  };
  constexpr LstmShape kDirection{1, false};
  for (const HighwayLayerWeights& layer : layers) {
    const std::vector<at::Tensor> forward(layer.lstm.begin(), layer.lstm.begin() + 4);
    const std::vector<at::Tensor> backward(layer.lstm.begin() + 4, layer.lstm.end());
    const at::Tensor h0 = expand_state(layer.initial_state[0], batch);
    const at::Tensor c0 = expand_state(layer.initial_state[1], batch);
    const at::Tensor ahead =
        lstm_dense(input, h0.narrow(0, 0, 1), c0.narrow(0, 0, 1), forward, kDirection);
    const at::Tensor behind = reversed(
        lstm_dense(reversed(input), h0.narrow(0, 1, 1), c0.narrow(0, 1, 1), backward, kDirection));
    input = highway_output(input, at::cat({ahead, behind}, 2), layer);
  }
  return input;
}

at::Tensor pad_chunk(const std::vector<at::Tensor>& rows, const SentenceChunk& chunk) {
  const at::Tensor& first = rows[chunk.sentences.front()];
  const auto count = static_cast<std::int64_t>(chunk.sentences.size());
  at::Tensor batch = at::zeros({count, chunk.lengths.front(), first.size(-1)}, first.options());
  for (std::int64_t j = 0; j < count; ++j) {
    const at::Tensor& member = rows[chunk.sentences[static_cast<std::size_t>(j)]];
    batch.select(0, j).narrow(0, 0, member.size(0)).copy_(member);
  }
  return batch;
}

std::vector<at::Tensor> highway_lstm_sentences(std::vector<at::Tensor> inputs,
                                               const std::vector<HighwayLayerWeights>& layers,
                                               std::int64_t max_count, std::int64_t max_padded) {
  std::vector<std::int64_t> lengths(inputs.size(), 0);
  for (std::size_t s = 0; s < inputs.size(); ++s) {
    if (inputs[s].defined()) {
      lengths[s] = inputs[s].size(0);
    }
  }
  std::vector<at::Tensor> outputs(inputs.size());
  for (const SentenceChunk& chunk : plan_sentence_chunks(lengths, max_count, max_padded)) {
    const at::Tensor output = highway_lstm_padded(pad_chunk(inputs, chunk), chunk.lengths, layers);
    for (std::size_t j = 0; j < chunk.sentences.size(); ++j) {
      const std::size_t s = chunk.sentences[j];
      outputs[s] =
          output.select(0, static_cast<std::int64_t>(j)).narrow(0, 0, lengths[s]).contiguous();
      inputs[s] = at::Tensor();
    }
  }
  return outputs;
}

} // namespace velmora::detail
