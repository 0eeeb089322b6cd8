#pragma once

// The one LSTM runner of the library. Every recurrent model (tokenizer,
// seq2seq encoder, character language model, taggers, parsers, segmenter)
// hands its weights to these functions rather than calling the operator
// itself, so packing, state expansion and parameter order live in one place.
// Include only from .cpp files: it pulls in ATen.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <ATen/core/Tensor.h>

namespace velmora::detail {

struct LstmShape {
  std::int64_t num_layers = 1;
  bool bidirectional = false;
  std::int64_t directions() const { return bidirectional ? 2 : 1; }
};

// Parameter names in the flat order ATen's LSTM takes them: for each layer k,
// the forward direction then (when bidirectional) the "_reverse" one, each as
// weight_ih, weight_hh, bias_ih, bias_hh, spelled `prefix` + kind + "_l" + k +
// suffix (for example "encoder.weight_ih_l0_reverse"). A layer count whose
// parameter count is negative or passes 64 bits throws std::length_error;
// callers check a configured count against their bundle's tensors first.
std::vector<std::string> lstm_parameter_names(const std::string& prefix, const LstmShape& shape);
// The names of layer `layer` alone, in the same order.
std::vector<std::string> lstm_layer_parameter_names(const std::string& prefix, std::int64_t layer,
                                                    bool bidirectional);

// The index in `params` (the flat order above) of the first parameter whose
// shape does not fit an LSTM of `shape` and hidden size `hidden` over inputs
// of width `input_size`, or -1 when all fit (a missing parameter or a hidden
// size below 1 counts as a misfit). ATen's CPU kernels take their sizes from the input and the
// states and do not check the weights against them: a short weight would be read past its end, out
// of the mapped bundle. Plans check before the first run.
std::int64_t lstm_shape_mismatch(const std::vector<at::Tensor>& params, const LstmShape& shape,
                                 std::int64_t input_size, std::int64_t hidden);

// True when a bundle of `tensors` tensors can hold the parameters of an LSTM
// of `shape` at all: a configured layer count beyond that names tensors the
// bundle cannot have, and listing their names would not end.
bool lstm_fits_bundle(const LstmShape& shape, std::size_t tensors);

// Every run below takes any number of steps: a run longer than the
// recurrent kernel takes in one call goes through it in pieces of a bounded
// number of steps (fewer the more rows and the wider the layer), each piece
// of a direction starting from the states the piece before it left, the
// backward direction's pieces from the end. Each layer and direction then
// runs on its own, so the values are those of the whole run up to the
// rounding of the kernel over other shapes. `name` says what the run is
// ("character model"): an error of the kernel names the run and its size
// instead of giving the kernel's words.

// Runs the LSTM over one batch-first padded sequence batch [B, L, F] whose
// every row uses all L steps. `h0`/`c0` are [layers * directions, B, H].
// Returns the output [B, L, directions * H]; final states are dropped.
at::Tensor lstm_dense(const at::Tensor& input, const at::Tensor& h0, const at::Tensor& c0,
                      const std::vector<at::Tensor>& params, const LstmShape& shape,
                      std::string_view name = "LSTM");

// Runs a bidirectional LSTM of `num_layers` layers over a padded batch
// [B, L, F] whose row j holds `lengths[j]` real steps (at most L) followed by
// padding (any values). Each direction of each layer runs as its own dense
// LSTM, which the tensor library computes far faster than a packed run:
// padding follows every row's real steps, so the forward direction never
// reads it before a real step, and the backward direction reads each row
// reversed within its length (padding left in place) and has its outputs
// turned back the same way. Returns [B, L, 2H], forward half first, whose
// padding rows hold no meaningful values. `h0`/`c0` are [2 * layers, B, H]
// (row 2k starts layer k forward, row 2k + 1 backward); `params` are in the
// flat bidirectional order of lstm_parameter_names.
at::Tensor lstm_padded_dense(const at::Tensor& input, const std::vector<std::int64_t>& lengths,
                             const at::Tensor& h0, const at::Tensor& c0,
                             const std::vector<at::Tensor>& params, std::int64_t num_layers,
                             std::string_view name = "LSTM");

// The layer-0 input [B, length, F] of steps [start, start + length).
using LstmChunkInput = std::function<at::Tensor(std::int64_t start, std::int64_t length)>;
// The last layer's output [B, length, 2H] of steps [start, start + length).
using LstmChunkOutput = std::function<void(std::int64_t start, const at::Tensor& output)>;

// Runs a bidirectional LSTM of `num_layers` layers over `steps` steps of a
// batch whose every row uses all of them, `chunk` steps at a time, so that
// its scratch memory stays that of one chunk however long the sequence is.
// `input` is asked for each chunk's input as often as needed, and `output`
// receives the last layer's output chunk by chunk in time order. A layer's
// input at a step needs the backward output of the layer below, which
// depends on every later step; instead of keeping whole layers, each sweep
// over the chunks keeps only the states that enter every chunk, so a later
// sweep can run any direction of any layer below over any chunk again.
// Sweeps alternate in direction, each one layer deeper, ending forward:
// (num_layers + 1)^2 - 1 direction runs over the sequence instead of
// 2 * num_layers. The values are those of the whole-sequence run up to the
// rounding of the kernels over shorter pieces. `h0`/`c0` and `params` are as
// for lstm_padded_dense. A chunk longer than the kernel's piece runs in
// pieces too, so the memory bound is that of the smaller of the two.
void lstm_chunked(std::int64_t steps, std::int64_t chunk, const LstmChunkInput& input,
                  const at::Tensor& h0, const at::Tensor& c0, const std::vector<at::Tensor>& params,
                  std::int64_t num_layers, const LstmChunkOutput& output,
                  std::string_view name = "LSTM");

// Output and final states of a packed run.
struct LstmPackedResult {
  at::Tensor output; // [B, total_length, directions * H], zero past each row's length
  at::Tensor h_n;    // [layers * directions, B, H]
  at::Tensor c_n;
};

// Runs the LSTM over rows of different lengths: `input` is batch-first
// [B, L, F], `lengths` holds B non-increasing positive lengths (at most L).
// Rows are packed, so padding never reaches a row's states; the output is
// unpacked to `total_length` (L when negative) with zeros past each row.
// `h0`/`c0` are [layers * directions, B, H] (expand a shared initial state
// with expand_states first). In pieces, a row takes part in those that start
// before its end, and its final states are those after its own last step
// (the backward direction's after its first).
LstmPackedResult lstm_packed(const at::Tensor& input, const std::vector<std::int64_t>& lengths,
                             const at::Tensor& h0, const at::Tensor& c0,
                             const std::vector<at::Tensor>& params, const LstmShape& shape,
                             std::int64_t total_length = -1, std::string_view name = "LSTM");

// The states after one step of a unidirectional LSTM, each [layers, H].
struct LstmStepState {
  at::Tensor h;
  at::Tensor c;
};

// One time step of a unidirectional LSTM of `num_layers` layers (with biases,
// parameters in the operator's order) over one input vector `x` [F], from
// the states `h` and `c` [layers, H]. Matrix-vector products on the weights
// as they are, with none of the operator's per-call preparation: for one
// step of a wide LSTM that preparation costs more than the step. The output
// of the step is the last row of the returned `h`.
LstmStepState lstm_step(const at::Tensor& x, const at::Tensor& h, const at::Tensor& c,
                        const std::vector<at::Tensor>& params, std::int64_t num_layers);

// Sets the elements (steps x rows x the wider of the input and the four
// gates) of one piece of a run; 0 or less restores the default. For tests,
// which make pieces split on small models; it applies to every thread.
void set_lstm_piece_elements(std::int64_t elements);
// The directions of runs that went through the kernel in more than one
// piece since the process started, for tests that make pieces split.
std::int64_t lstm_pieced_runs();

// Widens an initial state [N, 1, H] (or [N, H]) to [N, batch, H] as a new
// contiguous tensor (never a view of bundle memory, which is read-only).
at::Tensor expand_state(const at::Tensor& state, std::int64_t batch);

} // namespace velmora::detail
