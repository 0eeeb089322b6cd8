#include "taggers/highway_lstm.hpp"

#include <algorithm>

#include <ATen/ops/addcmul.h>
#include <ATen/ops/sigmoid.h>
#include <ATen/ops/tanh.h>
#include <ATen/ops/zeros.h>

#include "encoders/calling_thread.hpp"
#include "encoders/lstm.hpp"
#include "encoders/products.hpp"

namespace velmora::detail {
namespace {

constexpr LstmShape kShape{1, true};

// A step of these narrow LSTMs costs about as much as eight rows of it, and
// buckets gain nothing from more than 512 rows (which also keeps planning
// linear for many tiny sentences).
constexpr double kStepCost = 8.0;
constexpr std::int64_t kWidestBucket = 512;

std::string lstm_prefix(const std::string& stack, std::int64_t layer) {
  return stack + ".lstm." + std::to_string(layer) + ".lstm.";
}

// The layer's LSTM output plus the gated highway term, both computed from the
// layer's input. The activations run in place on the products, and the sum
// lands in `lstm_output` (a fresh tensor the caller hands over), so a layer
// maps no more activation memory than its products need.
at::Tensor highway_output(const at::Tensor& input, at::Tensor lstm_output,
                          const HighwayLayerWeights& layer) {
  at::Tensor transform = detail::linear(input, layer.highway_weight, layer.highway_bias);
  transform.tanh_();
  at::Tensor gate = detail::linear(input, layer.gate_weight, layer.gate_bias);
  gate.sigmoid_();
  return lstm_output.addcmul_(gate, transform);
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
    const at::Tensor output = lstm_dense(input, h0, c0, layer.lstm, kShape, "word LSTM");
    input = highway_output(input, output, layer);
  }
  return input;
}

at::Tensor highway_lstm_padded(at::Tensor input, const std::vector<std::int64_t>& lengths,
                               const std::vector<HighwayLayerWeights>& layers) {
  const std::int64_t batch = input.size(0);
  for (const HighwayLayerWeights& layer : layers) {
    const at::Tensor h0 = expand_state(layer.initial_state[0], batch);
    const at::Tensor c0 = expand_state(layer.initial_state[1], batch);
    input = highway_output(
        input, lstm_padded_dense(input, lengths, h0, c0, layer.lstm, 1, "word LSTM"), layer);
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
  const std::vector<SentenceChunk> chunks = plan_sentence_buckets(
      lengths, recurrent_cost(kStepCost), std::min(max_count, kWidestBucket), max_padded);
  for_each_unit(chunks.size(), [&](std::size_t unit) {
    const SentenceChunk& chunk = chunks[unit];
    const at::Tensor output = highway_lstm_padded(pad_chunk(inputs, chunk), chunk.lengths, layers);
    for (std::size_t j = 0; j < chunk.sentences.size(); ++j) {
      const std::size_t s = chunk.sentences[j];
      outputs[s] =
          output.select(0, static_cast<std::int64_t>(j)).narrow(0, 0, lengths[s]).contiguous();
      inputs[s] = at::Tensor();
    }
  });
  return outputs;
}

} // namespace velmora::detail
