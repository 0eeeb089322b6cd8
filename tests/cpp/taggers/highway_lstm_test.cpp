// The shared highway LSTM stack: layer records, and padded batches against single
// sentences.

#include <map>

#include <ATen/ATen.h>
#include <c10/core/InferenceMode.h>
#include <c10/util/Exception.h>
#include <gtest/gtest.h>

#include "taggers/highway_lstm.hpp"

namespace velmora::detail {
namespace {

constexpr std::int64_t kHidden = 3;

// Random weights of a stack named "stack" with the given input width.
std::map<std::string, at::Tensor, std::less<>> random_stack(std::int64_t input,
                                                            std::int64_t layers) {
  at::manual_seed(17);
  std::map<std::string, at::Tensor, std::less<>> tensors;
  tensors["stack_h_init"] = at::randn({2 * layers, 1, kHidden});
  tensors["stack_c_init"] = at::randn({2 * layers, 1, kHidden});
  for (std::int64_t layer = 0; layer < layers; ++layer) {
    const std::int64_t width = layer == 0 ? input : 2 * kHidden;
    for (const std::string& name : highway_layer_tensor_names("stack", layer)) {
      const bool bias = name.find("bias") != std::string::npos;
      const bool hh = name.find("weight_hh") != std::string::npos;
      const bool highway = name.find(".lstm.") == std::string::npos;
      const std::int64_t rows = highway ? 2 * kHidden : 4 * kHidden;
      tensors[name] = bias ? at::randn({rows}) : at::randn({rows, hh ? kHidden : width});
    }
  }
  return tensors;
}

std::vector<HighwayLayerWeights> records(const std::map<std::string, at::Tensor, std::less<>>& map,
                                         std::int64_t layers) {
  const TensorLookup lookup = [&](std::string_view name) -> const at::Tensor& {
    const auto found = map.find(name);
    if (found == map.end()) {
      throw std::out_of_range("no tensor " + std::string(name));
    }
    return found->second;
  };
  std::vector<HighwayLayerWeights> out;
  for (std::int64_t layer = 0; layer < layers; ++layer) {
    out.push_back(highway_layer_weights(lookup, "stack", layer));
  }
  return out;
}

TEST(HighwayLstm, LayerNamesAndRecords) {
  const auto names = highway_layer_tensor_names("parserlstm", 2);
  EXPECT_EQ(names, (std::vector<std::string>{
                       "parserlstm.lstm.2.lstm.weight_ih_l0",
                       "parserlstm.lstm.2.lstm.weight_hh_l0",
                       "parserlstm.lstm.2.lstm.bias_ih_l0",
                       "parserlstm.lstm.2.lstm.bias_hh_l0",
                       "parserlstm.lstm.2.lstm.weight_ih_l0_reverse",
                       "parserlstm.lstm.2.lstm.weight_hh_l0_reverse",
                       "parserlstm.lstm.2.lstm.bias_ih_l0_reverse",
                       "parserlstm.lstm.2.lstm.bias_hh_l0_reverse",
                       "parserlstm.highway.2.weight",
                       "parserlstm.highway.2.bias",
                       "parserlstm.gate.2.weight",
                       "parserlstm.gate.2.bias",
                   }));
  const auto map = random_stack(4, 3);
  const auto layers = records(map, 3);
  // Layer 2 starts from rows 4 and 5 of the stored states, viewed in place.
  EXPECT_TRUE(at::equal(layers[2].initial_state[0], map.at("stack_h_init").narrow(0, 4, 2)));
  EXPECT_EQ(layers[2].initial_state[1].const_data_ptr(),
            map.at("stack_c_init").narrow(0, 4, 2).const_data_ptr());
  EXPECT_EQ(layers[1].lstm[4].const_data_ptr(),
            map.at("stack.lstm.1.lstm.weight_ih_l0_reverse").const_data_ptr());
  // Too few initial-state rows for a second layer fail in the narrowing.
  auto one_layer = random_stack(4, 1);
  for (const std::string& name : highway_layer_tensor_names("stack", 1)) {
    one_layer[name] = map.at(name);
  }
  EXPECT_THROW(records(one_layer, 2), c10::Error);
}

TEST(HighwayLstm, PaddedBatchRowsEqualSingleSentences) {
  c10::InferenceMode guard;
  const auto map = random_stack(5, 2);
  const auto layers = records(map, 2);
  const std::vector<std::int64_t> lengths = {6, 4, 4, 1};
  // Whatever the padding holds never reaches a real row.
  at::Tensor batch = at::randn({4, 6, 5}) * 100;
  std::vector<at::Tensor> sentences;
  for (std::size_t j = 0; j < lengths.size(); ++j) {
    sentences.push_back(at::randn({1, lengths[j], 5}));
    batch.select(0, static_cast<std::int64_t>(j))
        .narrow(0, 0, lengths[j])
        .copy_(sentences.back().squeeze(0));
  }
  const at::Tensor padded = highway_lstm_padded(batch, lengths, layers);
  ASSERT_EQ(padded.sizes(), (at::IntArrayRef{4, 6, 2 * kHidden}));
  for (std::size_t j = 0; j < lengths.size(); ++j) {
    const at::Tensor dense = highway_lstm_dense(sentences[j], layers).squeeze(0);
    EXPECT_TRUE(at::allclose(
        padded.select(0, static_cast<std::int64_t>(j)).narrow(0, 0, lengths[j]), dense, 1e-5, 1e-6))
        << "sentence " << j;
  }
  // A dense batch of equal lengths expands the initial states per row.
  const at::Tensor pair = at::cat({sentences[1], sentences[2]}, 0);
  EXPECT_TRUE(at::allclose(highway_lstm_dense(pair, layers).select(0, 1),
                           highway_lstm_dense(sentences[2], layers).squeeze(0), 1e-5, 1e-6));
}

} // namespace
} // namespace velmora::detail
