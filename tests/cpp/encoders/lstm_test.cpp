// The shared LSTM runner: packing must make each row's output independent of
// the padding and of the other rows of its batch, and a run in chunks must
// give the whole run's output.

#include <ATen/ATen.h>

#include "encoders/lstm.hpp"
#include "test_support.hpp"

namespace {

using velmora::detail::LstmShape;

std::vector<at::Tensor> random_params(const LstmShape& shape, int64_t input, int64_t hidden) {
  std::vector<at::Tensor> params;
  for (int64_t layer = 0; layer < shape.num_layers; ++layer) {
    for (int64_t d = 0; d < shape.directions(); ++d) {
      int64_t in = layer == 0 ? input : hidden * shape.directions();
      params.push_back(at::randn({4 * hidden, in}));
      params.push_back(at::randn({4 * hidden, hidden}));
      params.push_back(at::randn({4 * hidden}));
      params.push_back(at::randn({4 * hidden}));
    }
  }
  return params;
}

TEST(Lstm, ParameterNamesFollowTheOperatorOrder) {
  auto names = velmora::detail::lstm_parameter_names("encoder.", {2, true});
  ASSERT_EQ(names.size(), 16u);
  EXPECT_EQ(names[0], "encoder.weight_ih_l0");
  EXPECT_EQ(names[3], "encoder.bias_hh_l0");
  EXPECT_EQ(names[4], "encoder.weight_ih_l0_reverse");
  EXPECT_EQ(names[8], "encoder.weight_ih_l1");
  EXPECT_EQ(names[15], "encoder.bias_hh_l1_reverse");
  EXPECT_EQ(velmora::detail::lstm_parameter_names("x.", {1, false}).size(), 4u);
}

TEST(Lstm, PackedRowsEqualTheirSingleRuns) {
  at::manual_seed(3);
  for (LstmShape shape : {LstmShape{1, false}, LstmShape{2, true}}) {
    const int64_t input = 5, hidden = 4, batch = 3, length = 6;
    auto params = random_params(shape, input, hidden);
    auto x = at::randn({batch, length, input});
    std::vector<int64_t> lengths = {6, 4, 1};
    auto h0 = at::randn({shape.num_layers * shape.directions(), 1, hidden});
    auto c0 = at::randn({shape.num_layers * shape.directions(), 1, hidden});
    auto packed =
        velmora::detail::lstm_packed(x, lengths, velmora::detail::expand_state(h0, batch),
                                     velmora::detail::expand_state(c0, batch), params, shape, 8);
    ASSERT_EQ(packed.output.sizes(), at::IntArrayRef({batch, 8, shape.directions() * hidden}));
    for (int64_t row = 0; row < batch; ++row) {
      auto alone = velmora::detail::lstm_dense(x.slice(0, row, row + 1).slice(1, 0, lengths[row]),
                                               h0, c0, params, shape);
      auto got = packed.output.slice(0, row, row + 1);
      EXPECT_TRUE(at::allclose(got.slice(1, 0, lengths[row]), alone, 1e-5, 1e-6)) << row;
      EXPECT_EQ(got.slice(1, lengths[row]).abs().sum().item<float>(), 0.0f) << row;
    }
  }
}

TEST(Lstm, StepsEqualTheOperatorsRun) {
  at::manual_seed(5);
  const LstmShape shape{2, false};
  const int64_t input = 5, hidden = 4, length = 3;
  const auto params = random_params(shape, input, hidden);
  const auto x = at::randn({1, length, input});
  const auto h0 = at::randn({2, 1, hidden});
  const auto c0 = at::randn({2, 1, hidden});
  const auto dense = velmora::detail::lstm_dense(x, h0, c0, params, shape);
  velmora::detail::LstmStepState state{h0.squeeze(1), c0.squeeze(1)};
  for (int64_t t = 0; t < length; ++t) {
    state = velmora::detail::lstm_step(x[0][t], state.h, state.c, params, 2);
    ASSERT_EQ(state.h.sizes(), at::IntArrayRef({2, hidden}));
    EXPECT_TRUE(at::allclose(state.h[1], dense[0][t], 1e-5, 1e-6)) << t;
  }
  EXPECT_THROW(velmora::detail::lstm_step(x[0][0], state.h, state.c, params, 1), std::logic_error);
}

// A sequence run in chunks gives the whole run's output, whatever the chunk
// length (one step, a length that does not divide the sequence, the whole
// sequence or more), the layer count and the batch; chunks arrive in order
// and each input is asked for only by chunk.
TEST(Lstm, ChunkedRunEqualsTheWholeRun) {
  at::manual_seed(11);
  const int64_t input = 5, hidden = 4, steps = 23;
  for (const int64_t layers : {1, 2, 3}) {
    const LstmShape shape{layers, true};
    const auto params = random_params(shape, input, hidden);
    for (const int64_t batch : {1, 3}) {
      const auto x = at::randn({batch, steps, input});
      const auto h0 = at::randn({2 * layers, batch, hidden});
      const auto c0 = at::randn({2 * layers, batch, hidden});
      const auto whole = velmora::detail::lstm_dense(x, h0, c0, params, shape);
      for (const int64_t chunk : {1, 4, 7, 22, 23, 40}) {
        SCOPED_TRACE(testing::Message()
                     << layers << " layers, batch " << batch << ", chunk " << chunk);
        std::vector<at::Tensor> pieces;
        int64_t next = 0;
        velmora::detail::lstm_chunked(
            steps, chunk,
            [&](int64_t start, int64_t length) {
              EXPECT_EQ(start % chunk, 0);
              EXPECT_EQ(length, std::min(chunk, steps - start));
              return x.narrow(1, start, length);
            },
            h0, c0, params, layers,
            [&](int64_t start, const at::Tensor& output) {
              EXPECT_EQ(start, next);
              next += output.size(1);
              pieces.push_back(output.clone());
            });
        ASSERT_EQ(next, steps);
        EXPECT_TRUE(at::allclose(at::cat(pieces, 1), whole, 1e-5, 1e-6));
      }
    }
  }
  EXPECT_THROW(velmora::detail::lstm_chunked(
                   steps, 4, [](int64_t, int64_t) { return at::Tensor(); },
                   at::zeros({2, 1, hidden}), at::zeros({2, 1, hidden}),
                   random_params({2, true}, input, hidden), 1, [](int64_t, const at::Tensor&) {}),
               std::logic_error);
}

} // namespace
