// The shared LSTM runner: packing must make each row's output independent of
// the padding and of the other rows of its batch, and a run in chunks or in
// pieces must give the whole run's output.

#include <ATen/ATen.h>
#include <c10/core/InferenceMode.h>

#include "bundle/tensor_errors.hpp"
#include "encoders/lstm.hpp"
#include "lstm_run_budget.hpp"
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

// Pieces of one step, of a length that does not divide the run and of about
// a third of it give the whole run: dense and padded runs, and packed rows
// that end inside, at the edge of and before a piece, with their final
// states (the backward direction's after each row's first step).
TEST(Lstm, PiecedRunsEqualTheWholeRun) {
  at::manual_seed(13);
  const int64_t input = 5, hidden = 4, steps = 23, batch = 4;
  const std::vector<int64_t> lengths = {23, 10, 8, 1};
  const auto x = at::randn({batch, steps, input});
  for (const LstmShape shape : {LstmShape{1, false}, LstmShape{2, true}}) {
    const int64_t states = shape.num_layers * shape.directions();
    const auto params = random_params(shape, input, hidden);
    const auto h0 = at::randn({states, batch, hidden});
    const auto c0 = at::randn({states, batch, hidden});
    const auto dense = velmora::detail::lstm_dense(x, h0, c0, params, shape);
    const auto packed = velmora::detail::lstm_packed(x, lengths, h0, c0, params, shape, 25);
    at::Tensor padded;
    if (shape.bidirectional) {
      padded = velmora::detail::lstm_padded_dense(x, lengths, h0, c0, params, shape.num_layers);
    }
    // Rows x widest layer input (16 gates): pieces of 1, 2 (rows 8 apart) and 6 steps.
    for (const int64_t elements : {1, 128, 400}) {
      SCOPED_TRACE(testing::Message() << shape.num_layers << " layers, " << elements);
      const velmora::test::LstmPieces pieces(elements);
      EXPECT_TRUE(
          at::allclose(velmora::detail::lstm_dense(x, h0, c0, params, shape), dense, 1e-5, 1e-6));
      const auto got = velmora::detail::lstm_packed(x, lengths, h0, c0, params, shape, 25);
      EXPECT_TRUE(at::allclose(got.output, packed.output, 1e-5, 1e-6));
      EXPECT_TRUE(at::allclose(got.h_n, packed.h_n, 1e-5, 1e-6));
      EXPECT_TRUE(at::allclose(got.c_n, packed.c_n, 1e-5, 1e-6));
      if (padded.defined()) {
        const auto again =
            velmora::detail::lstm_padded_dense(x, lengths, h0, c0, params, shape.num_layers);
        for (int64_t row = 0; row < batch; ++row) {
          EXPECT_TRUE(at::allclose(again[row].narrow(0, 0, lengths[row]),
                                   padded[row].narrow(0, 0, lengths[row]), 1e-5, 1e-6))
              << row;
        }
      }
      EXPECT_TRUE(pieces.split());
    }
  }
}

// Chunks longer than a piece run in pieces within each chunk.
TEST(Lstm, ChunksLongerThanAPieceRunInPieces) {
  at::manual_seed(17);
  const int64_t input = 3, hidden = 4, steps = 30;
  const auto params = random_params({2, true}, input, hidden);
  const auto x = at::randn({1, steps, input});
  const auto h0 = at::randn({4, 1, hidden});
  const auto c0 = at::randn({4, 1, hidden});
  const auto whole = velmora::detail::lstm_dense(x, h0, c0, params, {2, true});
  const velmora::test::LstmPieces pieces(48); // 3 steps of 16 gates
  std::vector<at::Tensor> outputs;
  velmora::detail::lstm_chunked(
      steps, 11, [&](int64_t start, int64_t length) { return x.narrow(1, start, length); }, h0, c0,
      params, 2, [&](int64_t, const at::Tensor& output) { outputs.push_back(output.clone()); });
  EXPECT_TRUE(at::allclose(at::cat(outputs, 1), whole, 1e-5, 1e-6));
  EXPECT_TRUE(pieces.split());
}

// One row of hidden size 1,024 over 131,100 steps passes the kernel's
// 2^31-byte gate workspace: in one piece the kernel refuses it (before it
// allocates anything), and the error names the run instead of giving the
// kernel's words.
TEST(Lstm, KernelRefusalNamesTheRun) {
  const c10::InferenceMode inference; // as every model call runs
  const int64_t hidden = 1024, steps = 131100;
  const std::vector<at::Tensor> params = {at::zeros({4 * hidden, 1}),
                                          at::zeros({4 * hidden, hidden}), at::zeros({4 * hidden}),
                                          at::zeros({4 * hidden})};
  const auto x = at::zeros({1, steps, 1});
  const auto state = at::zeros({1, 1, hidden});
  {
    const velmora::test::LstmPieces whole(std::int64_t{1} << 40);
    try {
      velmora::detail::lstm_dense(x, state, state, params, {1, false}, "test model");
      ADD_FAILURE() << "the kernel ran a run past its bound";
    } catch (const velmora::detail::KernelRunFailure& error) {
      EXPECT_EQ(std::string(error.what()),
                "test model run of 131100 steps over 1 row (input width 1, hidden size 1024) "
                "could not be set up by the kernel library");
    }
  }
}

} // namespace
