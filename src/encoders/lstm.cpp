#include "encoders/lstm.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <utility>

#include <ATen/ATen.h>

namespace velmora::detail {
namespace {

// The parameter count of an LSTM of `shape`, whose layer count comes from a
// bundle's configuration.
std::size_t parameter_count(const LstmShape& shape) {
  std::int64_t count = 0;
  if (shape.num_layers < 0 ||
      __builtin_mul_overflow(4 * shape.directions(), shape.num_layers, &count)) {
    throw std::length_error("LSTM parameter count is out of range");
  }
  return static_cast<std::size_t>(count);
}

} // namespace

std::vector<std::string> lstm_layer_parameter_names(const std::string& prefix, std::int64_t layer,
                                                    bool bidirectional) {
  static const char* const kinds[] = {"weight_ih_l", "weight_hh_l", "bias_ih_l", "bias_hh_l"};
  std::vector<std::string> names;
  names.reserve(bidirectional ? 8 : 4);
  for (int direction = 0; direction < (bidirectional ? 2 : 1); ++direction) {
    for (const char* kind : kinds) {
      std::string name = prefix + kind + std::to_string(layer);
      if (direction == 1) {
        name += "_reverse";
      }
      names.push_back(std::move(name));
    }
  }
  return names;
}

std::vector<std::string> lstm_parameter_names(const std::string& prefix, const LstmShape& shape) {
  std::vector<std::string> names;
  names.reserve(parameter_count(shape));
  for (std::int64_t layer = 0; layer < shape.num_layers; ++layer) {
    for (std::string& name : lstm_layer_parameter_names(prefix, layer, shape.bidirectional)) {
      names.push_back(std::move(name));
    }
  }
  return names;
}

std::int64_t lstm_shape_mismatch(const std::vector<at::Tensor>& params, const LstmShape& shape,
                                 std::int64_t input_size, std::int64_t hidden) {
  if (hidden < 1 || hidden > std::numeric_limits<std::int64_t>::max() / 4) {
    return 0;
  }
  const std::int64_t gates = 4 * hidden;
  const std::size_t count = parameter_count(shape);
  for (std::size_t i = 0; i < count; ++i) {
    if (i >= params.size()) {
      return static_cast<std::int64_t>(i);
    }
    const auto layer = static_cast<std::int64_t>(i / 4) / shape.directions();
    const std::int64_t input = layer == 0 ? input_size : shape.directions() * hidden;
    const at::IntArrayRef sizes = params[i].sizes();
    bool fits = false;
    switch (i % 4) {
    case 0:
      fits = sizes == at::IntArrayRef({gates, input});
      break;
    case 1:
      fits = sizes == at::IntArrayRef({gates, hidden});
      break;
    default:
      fits = sizes == at::IntArrayRef({gates});
      break;
    }
    if (!fits) {
      return static_cast<std::int64_t>(i);
    }
  }
  return params.size() == count ? -1 : static_cast<std::int64_t>(count);
}

bool lstm_fits_bundle(const LstmShape& shape, std::size_t tensors) {
  return shape.num_layers >= 0 && static_cast<std::uint64_t>(shape.num_layers) <=
                                      tensors / static_cast<std::size_t>(4 * shape.directions());
}

at::Tensor lstm_dense(const at::Tensor& input, const at::Tensor& h0, const at::Tensor& c0,
                      const std::vector<at::Tensor>& params, const LstmShape& shape) {
  auto result = at::lstm(input, {h0, c0}, params, /*has_biases=*/true, shape.num_layers,
                         /*dropout=*/0.0, /*train=*/false, shape.bidirectional,
                         /*batch_first=*/true);
  return std::get<0>(result);
}

at::Tensor lstm_padded_dense(const at::Tensor& input, const std::vector<std::int64_t>& lengths,
                             const at::Tensor& h0, const at::Tensor& c0,
                             const std::vector<at::Tensor>& params, std::int64_t num_layers) {
  const std::int64_t batch = input.size(0);
  const std::int64_t steps = input.size(1);
  if (static_cast<std::int64_t>(lengths.size()) != batch ||
      static_cast<std::int64_t>(params.size()) != 8 * num_layers) {
    throw std::logic_error("padded LSTM batch, lengths and parameters disagree");
  }
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
  at::Tensor x = input;
  for (std::int64_t layer = 0; layer < num_layers; ++layer) {
    const auto first = params.begin() + 8 * layer;
    const std::vector<at::Tensor> forward(first, first + 4);
    const std::vector<at::Tensor> backward(first + 4, first + 8);
    const at::Tensor ahead =
        lstm_dense(x, h0.narrow(0, 2 * layer, 1), c0.narrow(0, 2 * layer, 1), forward, kDirection);
    const at::Tensor behind =
        reversed(lstm_dense(reversed(x), h0.narrow(0, 2 * layer + 1, 1),
                            c0.narrow(0, 2 * layer + 1, 1), backward, kDirection));
    x = at::cat({ahead, behind}, 2);
  }
  return x;
}

namespace {

// The states of one direction of one layer, each [1, B, H].
struct DirectionState {
  at::Tensor h;
  at::Tensor c;
};

// One direction of a one-layer LSTM over the chunk `x` [B, L, F] from
// `state`, which becomes the state after the chunk. The backward direction
// reads the chunk from its last step to its first; the output [B, L, H] is
// in time order either way.
at::Tensor run_direction(const at::Tensor& x, bool backward, const at::Tensor* params,
                         DirectionState& state) {
  auto [output, h, c] = at::lstm(backward ? x.flip(1) : x, {state.h, state.c},
                                 {params[0], params[1], params[2], params[3]},
                                 /*has_biases=*/true, /*num_layers=*/1, /*dropout=*/0.0,
                                 /*train=*/false, /*bidirectional=*/false, /*batch_first=*/true);
  state = {std::move(h), std::move(c)};
  return backward ? output.flip(1) : output;
}

} // namespace

void lstm_chunked(std::int64_t steps, std::int64_t chunk, const LstmChunkInput& input,
                  const at::Tensor& h0, const at::Tensor& c0, const std::vector<at::Tensor>& params,
                  std::int64_t num_layers, const LstmChunkOutput& output) {
  if (steps < 1 || chunk < 1 || num_layers < 1 ||
      static_cast<std::int64_t>(params.size()) != 8 * num_layers) {
    throw std::logic_error("chunked LSTM steps, chunk and parameters disagree");
  }
  const std::int64_t chunks = (steps - 1) / chunk + 1;
  // entering[(2 * layer + direction) * chunks + j]: the state in which that
  // direction of that layer enters chunk j, in its own reading order.
  std::vector<DirectionState> entering(static_cast<std::size_t>(2 * num_layers * chunks));
  const auto saved = [&](std::int64_t layer, int direction, std::int64_t j) -> DirectionState& {
    return entering[static_cast<std::size_t>((2 * layer + direction) * chunks + j)];
  };
  for (std::int64_t sweep = 0; sweep <= num_layers; ++sweep) {
    // 0 forward, 1 backward; the last sweep runs forward.
    const int direction = static_cast<int>((num_layers - sweep) % 2);
    // Layers below `sweep` run both directions, the layer `sweep` only this
    // sweep's, for the states it leaves.
    const std::int64_t deepest = std::min(sweep, num_layers - 1);
    std::vector<DirectionState> carried;
    for (std::int64_t layer = 0; layer <= deepest; ++layer) {
      const std::int64_t row = 2 * layer + direction;
      carried.push_back({h0.narrow(0, row, 1), c0.narrow(0, row, 1)});
    }
    for (std::int64_t i = 0; i < chunks; ++i) {
      const std::int64_t j = direction == 0 ? i : chunks - 1 - i;
      const std::int64_t start = j * chunk;
      at::Tensor x = input(start, std::min(chunk, steps - start));
      for (std::int64_t layer = 0; layer <= deepest; ++layer) {
        DirectionState& state = carried[static_cast<std::size_t>(layer)];
        saved(layer, direction, j) = state;
        const at::Tensor* layer_params = &params[static_cast<std::size_t>(8 * layer)];
        const at::Tensor along =
            run_direction(x, direction == 1, layer_params + 4 * direction, state);
        if (layer == sweep) {
          break;
        }
        DirectionState from = saved(layer, 1 - direction, j);
        const at::Tensor against =
            run_direction(x, direction == 0, layer_params + 4 * (1 - direction), from);
        x = direction == 0 ? at::cat({along, against}, 2) : at::cat({against, along}, 2);
      }
      if (sweep == num_layers) {
        output(start, x);
      }
    }
  }
}

LstmPackedResult lstm_packed(const at::Tensor& input, const std::vector<std::int64_t>& lengths,
                             const at::Tensor& h0, const at::Tensor& c0,
                             const std::vector<at::Tensor>& params, const LstmShape& shape,
                             std::int64_t total_length) {
  if (static_cast<std::int64_t>(lengths.size()) != input.size(0)) {
    throw std::logic_error("LSTM batch and length list disagree");
  }
  auto length_tensor = at::tensor(lengths, at::TensorOptions().dtype(at::kLong));
  auto [data, batch_sizes] = at::_pack_padded_sequence(input, length_tensor, /*batch_first=*/true);
  auto [packed_output, h_n, c_n] =
      at::lstm(data, batch_sizes, {h0, c0}, params, /*has_biases=*/true, shape.num_layers,
               /*dropout=*/0.0, /*train=*/false, shape.bidirectional);
  auto [output, unpacked_lengths] = at::_pad_packed_sequence(
      packed_output, batch_sizes, /*batch_first=*/true, /*padding_value=*/0.0,
      total_length < 0 ? input.size(1) : total_length);
  (void)unpacked_lengths;
  return {output, h_n, c_n};
}

LstmStepState lstm_step(const at::Tensor& x, const at::Tensor& h, const at::Tensor& c,
                        const std::vector<at::Tensor>& params, std::int64_t num_layers) {
  if (static_cast<std::int64_t>(params.size()) != 4 * num_layers) {
    throw std::logic_error("LSTM parameter list and layer count disagree");
  }
  std::vector<at::Tensor> hs;
  std::vector<at::Tensor> cs;
  hs.reserve(static_cast<std::size_t>(num_layers));
  cs.reserve(static_cast<std::size_t>(num_layers));
  at::Tensor input = x;
  for (std::int64_t layer = 0; layer < num_layers; ++layer) {
    const auto* p = &params[static_cast<std::size_t>(4 * layer)];
    // A new tensor from the first product on: the weights stay untouched.
    at::Tensor gates = at::addmv(p[2], p[0], input);
    gates.addmv_(p[1], h[layer]).add_(p[3]);
    const std::vector<at::Tensor> parts = gates.chunk(4);
    at::Tensor cell = at::sigmoid(parts[1]) * c[layer] + at::sigmoid(parts[0]) * at::tanh(parts[2]);
    input = at::sigmoid(parts[3]) * at::tanh(cell);
    hs.push_back(input);
    cs.push_back(std::move(cell));
  }
  return {at::stack(hs), at::stack(cs)};
}

at::Tensor expand_state(const at::Tensor& state, std::int64_t batch) {
  at::Tensor rows = state.dim() == 2 ? state.unsqueeze(1) : state;
  return rows.expand({rows.size(0), batch, rows.size(2)}).contiguous();
}

} // namespace velmora::detail
