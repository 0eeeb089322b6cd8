#include "encoders/lstm.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <limits>
#include <stdexcept>
#include <utility>

#include <ATen/ATen.h>

#include "bundle/tensor_errors.hpp"

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

// The recurrent kernel (oneDNN) sizes its buffers for a whole run at once:
// per direction and layer it keeps the gates of every step (steps x rows x
// 4 x hidden floats) and the states between steps ((steps + 1) x rows x
// max(input width, hidden) floats, for the layer's input and output), and
// it refuses a run whose buffers pass 2^31 bytes ("could not create a
// primitive"): one row of hidden size 1,024 fails from 131,072 steps
// (2^31 / (4 x 1,024 x 4)), one of hidden size 256 from 524,288, one of
// hidden size 64 over inputs 4,096 wide at 600,000 steps. (Runs of 2 and 4
// rows went past those step counts; the bound is counted per run here all
// the same.) A run therefore goes through the kernel in pieces of at most
// kPieceElements / (rows x max(4 x hidden, input width)) steps, at least
// one: 512 MiB of float gates or inputs per piece, a quarter of the bound,
// for every width, row count and layer count, since pieces run one layer
// and one direction at a time. The default pipeline's runs (character
// model buckets of about 16,384 positions at hidden size 1,024, sentence
// batches of the taggers) fit in one piece and run exactly as before (at
// 256 MiB some of them split, and the default pipeline lost 12% of its
// speed at one thread). At one row of hidden size 1,024 a piece is 32,768
// steps; pieces of 1,024 steps and more ran as fast per step as longer ones.
constexpr std::int64_t kPieceElements = std::int64_t{1} << 27;

std::atomic<std::int64_t> piece_elements{kPieceElements};
std::atomic<std::int64_t> pieced_runs{0};

// The steps of one piece over `rows` rows of an LSTM of `hidden` units
// reading inputs `input` wide.
std::int64_t piece_steps(std::int64_t rows, std::int64_t input, std::int64_t hidden) {
  const std::int64_t width = std::max<std::int64_t>({1, input, 4 * hidden});
  return std::max<std::int64_t>(1, piece_elements.load() / std::max<std::int64_t>(1, rows) / width);
}

// What a run is, for an error of the kernel that names the input's size.
std::string name_run(std::string_view name, std::int64_t steps, std::int64_t rows,
                     std::int64_t input, std::int64_t hidden) {
  return std::string(name) + " run of " + std::to_string(steps) + " steps over " +
         std::to_string(rows) + (rows == 1 ? " row" : " rows") + " (input width " +
         std::to_string(input) + ", hidden size " + std::to_string(hidden) + ")";
}

std::string run_description(std::string_view name, const at::Tensor& x, std::int64_t hidden) {
  return name_run(name, x.size(1), x.size(0), x.size(2), hidden);
}

} // namespace

void set_lstm_piece_elements(std::int64_t elements) {
  piece_elements.store(elements > 0 ? elements : kPieceElements);
}

std::int64_t lstm_pieced_runs() {
  return pieced_runs.load();
}

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

namespace {

// The states of one direction of one layer, each [1, B, H].
struct DirectionState {
  at::Tensor h;
  at::Tensor c;
};

// Reads each row j of a batch [B, L, ...] reversed within its first
// lengths[j] steps, the padding after them left in place; applied twice it
// gives the rows back.
class RowReversal {
public:
  RowReversal(const std::vector<std::int64_t>& lengths, std::int64_t steps)
      : batch_(static_cast<std::int64_t>(lengths.size())), steps_(steps),
        order_(static_cast<std::size_t>(batch_ * steps)) {
    for (std::int64_t j = 0; j < batch_; ++j) {
      const std::int64_t length = lengths[static_cast<std::size_t>(j)];
      for (std::int64_t t = 0; t < steps; ++t) {
        order_[static_cast<std::size_t>(j * steps + t)] = t < length ? length - 1 - t : t;
      }
    }
  }

  at::Tensor operator()(const at::Tensor& rows) const {
    const at::Tensor order =
        at::from_blob(const_cast<std::int64_t*>(order_.data()), {batch_, steps_, 1}, at::kLong);
    return rows.gather(1, order.expand({batch_, steps_, rows.size(2)}));
  }

private:
  std::int64_t batch_;
  std::int64_t steps_;
  std::vector<std::int64_t> order_;
};

// One call of the kernel over `x` [B, L, F], an error of the kernel
// reported by `describe`.
std::tuple<at::Tensor, at::Tensor, at::Tensor>
kernel_run(const at::Tensor& x, const at::Tensor& h0, const at::Tensor& c0, at::TensorList params,
           const LstmShape& shape, const std::function<std::string()>& describe) {
  return with_run_description(describe, [&] {
    return at::lstm(x, {h0, c0}, params, /*has_biases=*/true, shape.num_layers, /*dropout=*/0.0,
                    /*train=*/false, shape.bidirectional, /*batch_first=*/true);
  });
}

// One direction of a one-layer LSTM over `x` [B, L, F] from `state`, which
// becomes the state after the run. The backward direction reads `x` from its
// last step to its first; the output [B, L, H] is in time order either way.
// A run longer than a piece goes through the kernel piece by piece, each
// piece entering with the state the one before it (in reading order) left.
at::Tensor run_direction(const at::Tensor& x, bool backward, const at::Tensor* params,
                         DirectionState& state, const std::function<std::string()>& describe) {
  const std::int64_t steps = x.size(1);
  const std::int64_t hidden = params[1].size(1);
  const std::int64_t piece = piece_steps(x.size(0), x.size(2), hidden);
  const std::array<at::Tensor, 4> weights = {params[0], params[1], params[2], params[3]};
  const auto run = [&](const at::Tensor& part) {
    auto [output, h, c] =
        kernel_run(backward ? part.flip(1) : part, state.h, state.c, weights, {1, false}, describe);
    state = {std::move(h), std::move(c)};
    return backward ? output.flip(1) : output;
  };
  if (steps <= piece) {
    return run(x);
  }
  ++pieced_runs;
  at::Tensor output = at::empty({x.size(0), steps, hidden}, x.options());
  const std::int64_t pieces = (steps - 1) / piece + 1;
  for (std::int64_t i = 0; i < pieces; ++i) {
    const std::int64_t start = (backward ? pieces - 1 - i : i) * piece;
    const std::int64_t length = std::min(piece, steps - start);
    output.narrow(1, start, length).copy_(run(x.narrow(1, start, length)));
  }
  return output;
}

// Whether a run of `steps` steps over `input` [B, L, F] fits the kernel in
// one call of every layer and direction, which keeps all their buffers.
bool fits_one_call(const at::Tensor& input, std::int64_t steps, std::int64_t hidden,
                   const LstmShape& shape) {
  const std::int64_t directions = shape.directions();
  return steps <= piece_steps(input.size(0) * shape.num_layers * directions,
                              std::max(input.size(2), directions * hidden), hidden);
}

// Runs the layers of `shape` one direction at a time over `input`:
// `direction_run(x, backward, weights, state)` gives that direction's output
// over x (each layer's input the outputs of the layer below, side by side)
// and leaves its final state in `state`. Returns the last layer's output and
// the final states in the operator's order.
template <class DirectionRun>
LstmPackedResult run_layers(const at::Tensor& input, const at::Tensor& h0, const at::Tensor& c0,
                            const std::vector<at::Tensor>& params, const LstmShape& shape,
                            const DirectionRun& direction_run) {
  const std::int64_t directions = shape.directions();
  std::vector<at::Tensor> hs;
  std::vector<at::Tensor> cs;
  at::Tensor x = input;
  for (std::int64_t layer = 0; layer < shape.num_layers; ++layer) {
    std::vector<at::Tensor> outputs;
    for (std::int64_t direction = 0; direction < directions; ++direction) {
      const std::int64_t row = layer * directions + direction;
      DirectionState state{h0.narrow(0, row, 1), c0.narrow(0, row, 1)};
      outputs.push_back(
          direction_run(x, direction == 1, &params[static_cast<std::size_t>(4 * row)], state));
      hs.push_back(std::move(state.h));
      cs.push_back(std::move(state.c));
    }
    x = outputs.size() == 1 ? outputs.front() : at::cat(outputs, 2);
  }
  return {x, at::cat(hs, 0), at::cat(cs, 0)};
}

} // namespace

at::Tensor lstm_dense(const at::Tensor& input, const at::Tensor& h0, const at::Tensor& c0,
                      const std::vector<at::Tensor>& params, const LstmShape& shape,
                      std::string_view name) {
  const std::function<std::string()> describe = [&] {
    return run_description(name, input, h0.size(2));
  };
  if (fits_one_call(input, input.size(1), h0.size(2), shape)) {
    return std::get<0>(kernel_run(input, h0, c0, params, shape, describe));
  }
  return run_layers(input, h0, c0, params, shape,
                    [&](const at::Tensor& x, bool backward, const at::Tensor* weights,
                        DirectionState& state) {
                      return run_direction(x, backward, weights, state, describe);
                    })
      .output;
}

at::Tensor lstm_padded_dense(const at::Tensor& input, const std::vector<std::int64_t>& lengths,
                             const at::Tensor& h0, const at::Tensor& c0,
                             const std::vector<at::Tensor>& params, std::int64_t num_layers,
                             std::string_view name) {
  const std::int64_t batch = input.size(0);
  const std::int64_t steps = input.size(1);
  if (static_cast<std::int64_t>(lengths.size()) != batch ||
      static_cast<std::int64_t>(params.size()) != 8 * num_layers) {
    throw std::logic_error("padded LSTM batch, lengths and parameters disagree");
  }
  const RowReversal reversed(lengths, steps);
  const std::function<std::string()> describe = [&] {
    return run_description(name, input, h0.size(2));
  };
  at::Tensor x = input;
  for (std::int64_t layer = 0; layer < num_layers; ++layer) {
    const at::Tensor* weights = &params[static_cast<std::size_t>(8 * layer)];
    DirectionState ahead_state{h0.narrow(0, 2 * layer, 1), c0.narrow(0, 2 * layer, 1)};
    DirectionState behind_state{h0.narrow(0, 2 * layer + 1, 1), c0.narrow(0, 2 * layer + 1, 1)};
    const at::Tensor ahead = run_direction(x, false, weights, ahead_state, describe);
    const at::Tensor behind =
        reversed(run_direction(reversed(x), false, weights + 4, behind_state, describe));
    x = at::cat({ahead, behind}, 2);
  }
  return x;
}

void lstm_chunked(std::int64_t steps, std::int64_t chunk, const LstmChunkInput& input,
                  const at::Tensor& h0, const at::Tensor& c0, const std::vector<at::Tensor>& params,
                  std::int64_t num_layers, const LstmChunkOutput& output, std::string_view name) {
  if (steps < 1 || chunk < 1 || num_layers < 1 ||
      static_cast<std::int64_t>(params.size()) != 8 * num_layers) {
    throw std::logic_error("chunked LSTM steps, chunk and parameters disagree");
  }
  const std::int64_t chunks = (steps - 1) / chunk + 1;
  const std::function<std::string()> describe = [&] {
    return name_run(name, steps, h0.size(1), params[0].size(1), h0.size(2));
  };
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
            run_direction(x, direction == 1, layer_params + 4 * direction, state, describe);
        if (layer == sweep) {
          break;
        }
        DirectionState from = saved(layer, 1 - direction, j);
        const at::Tensor against =
            run_direction(x, direction == 0, layer_params + 4 * (1 - direction), from, describe);
        x = direction == 0 ? at::cat({along, against}, 2) : at::cat({against, along}, 2);
      }
      if (sweep == num_layers) {
        output(start, x);
      }
    }
  }
}

namespace {

// One direction of a one-layer LSTM over rows of non-increasing `lengths`,
// read forward, in pieces of the kernel's packed operator. Row j takes part
// in the pieces that start before its end; `state` [1, B, H] becomes every
// row's state after its own last step. The output [B, L, H] is zero past
// each row's length.
at::Tensor run_packed_direction(const at::Tensor& x, const std::vector<std::int64_t>& lengths,
                                const at::Tensor* params, DirectionState& state,
                                const std::function<std::string()>& describe) {
  const std::int64_t batch = x.size(0);
  const std::int64_t hidden = params[1].size(1);
  const std::int64_t piece = piece_steps(batch, x.size(2), hidden);
  const std::array<at::Tensor, 4> weights = {params[0], params[1], params[2], params[3]};
  pieced_runs += lengths.front() > piece ? 1 : 0;
  at::Tensor output = at::zeros({batch, x.size(1), hidden}, x.options());
  at::Tensor h = state.h.clone();
  at::Tensor c = state.c.clone();
  std::vector<std::int64_t> part_lengths;
  for (std::int64_t start = 0; start < lengths.front(); start += piece) {
    part_lengths.clear();
    for (const std::int64_t length : lengths) {
      if (length <= start) {
        break;
      }
      part_lengths.push_back(std::min(piece, length - start));
    }
    const auto rows = static_cast<std::int64_t>(part_lengths.size());
    const std::int64_t steps = part_lengths.front();
    const at::Tensor part = x.narrow(0, 0, rows).narrow(1, start, steps);
    // Plain names, not structured bindings: the lambda below captures them.
    const auto packed_part = at::_pack_padded_sequence(
        part, at::tensor(part_lengths, at::TensorOptions().dtype(at::kLong)),
        /*batch_first=*/true);
    const at::Tensor& data = std::get<0>(packed_part);
    const at::Tensor& batch_sizes = std::get<1>(packed_part);
    auto [packed, h_n, c_n] = with_run_description(describe, [&] {
      return at::lstm(data, batch_sizes, {h.narrow(1, 0, rows), c.narrow(1, 0, rows)}, weights,
                      /*has_biases=*/true, /*num_layers=*/1, /*dropout=*/0.0, /*train=*/false,
                      /*bidirectional=*/false);
    });
    const at::Tensor padded = std::get<0>(at::_pad_packed_sequence(
        packed, batch_sizes, /*batch_first=*/true, /*padding_value=*/0.0, steps));
    output.narrow(0, 0, rows).narrow(1, start, steps).copy_(padded);
    // A row that ended inside the piece keeps its final state from here on.
    h.narrow(1, 0, rows).copy_(h_n);
    c.narrow(1, 0, rows).copy_(c_n);
  }
  state = {std::move(h), std::move(c)};
  return output;
}

} // namespace

LstmPackedResult lstm_packed(const at::Tensor& input, const std::vector<std::int64_t>& lengths,
                             const at::Tensor& h0, const at::Tensor& c0,
                             const std::vector<at::Tensor>& params, const LstmShape& shape,
                             std::int64_t total_length, std::string_view name) {
  if (static_cast<std::int64_t>(lengths.size()) != input.size(0)) {
    throw std::logic_error("LSTM batch and length list disagree");
  }
  const std::int64_t columns = total_length < 0 ? input.size(1) : total_length;
  const std::function<std::string()> describe = [&] {
    return run_description(name, input, h0.size(2));
  };
  if (lengths.empty() || fits_one_call(input, lengths.front(), h0.size(2), shape)) {
    auto length_tensor = at::tensor(lengths, at::TensorOptions().dtype(at::kLong));
    const auto packed_input = at::_pack_padded_sequence(input, length_tensor, /*batch_first=*/true);
    const at::Tensor& data = std::get<0>(packed_input);
    const at::Tensor& batch_sizes = std::get<1>(packed_input);
    auto [packed_output, h_n, c_n] = with_run_description(describe, [&] {
      return at::lstm(data, batch_sizes, {h0, c0}, params, /*has_biases=*/true, shape.num_layers,
                      /*dropout=*/0.0, /*train=*/false, shape.bidirectional);
    });
    auto [output, unpacked_lengths] =
        at::_pad_packed_sequence(packed_output, batch_sizes, /*batch_first=*/true,
                                 /*padding_value=*/0.0, columns);
    (void)unpacked_lengths;
    return {output, h_n, c_n};
  }
  if (columns < lengths.front()) {
    throw std::logic_error("LSTM output is shorter than its longest row");
  }
  // The backward direction reads every row reversed within its length, so
  // that it starts at the row's own end and its pieces run from there.
  const RowReversal reversed(lengths, input.size(1));
  LstmPackedResult result = run_layers(
      input, h0, c0, params, shape,
      [&](const at::Tensor& x, bool backward, const at::Tensor* weights, DirectionState& state) {
        return backward
                   ? reversed(run_packed_direction(reversed(x), lengths, weights, state, describe))
                   : run_packed_direction(x, lengths, weights, state, describe);
      });
  if (columns != result.output.size(1)) {
    result.output =
        columns < result.output.size(1)
            ? result.output.narrow(1, 0, columns)
            : at::constant_pad_nd(result.output, {0, 0, 0, columns - result.output.size(1)}, 0.0);
  }
  return result;
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
