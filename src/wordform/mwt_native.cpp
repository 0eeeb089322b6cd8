// The native space-insertion model: a bidirectional LSTM over the token's
// characters and a two-layer head that votes, per character, for a space
// before it.

#include <string>
#include <vector>

#include <ATen/TensorOperators.h>
#include <ATen/ops/embedding.h>
#include <ATen/ops/from_blob.h>
#include <ATen/ops/gt.h>
#include <ATen/ops/linear.h>
#include <ATen/ops/relu.h>
#include <ATen/ops/zeros.h>
#include <c10/core/InferenceMode.h>

#include <velmora/text.hpp>

#include "bundle/tensor_checks.hpp"
#include "bundle/tensor_errors.hpp"
#include "bundle/tensor_view.hpp"
#include "encoders/lstm.hpp"
#include "wordform/mwt_impl.hpp"

namespace velmora {
namespace {

// Fixed ids of the native model, whatever the vocabulary says.
constexpr std::int64_t kUnknownId = 1;
constexpr std::int64_t kStartId = 2;
constexpr std::int64_t kEndId = 3;

constexpr const char* kOutputNames[] = {"output_layer.0.weight", "output_layer.0.bias",
                                        "output_layer.2.weight", "output_layer.2.bias"};

bool has_shape(const at::Tensor& tensor, std::initializer_list<detail::Extent> shape) {
  return tensor.scalar_type() == at::kFloat && detail::has_shape(tensor, shape);
}

} // namespace

const at::Tensor& MWTPlan::Impl::require_tensor(const std::string& name) const {
  const auto found = tensors.find(name);
  if (found == tensors.end()) {
    throw MWTModelError("missing MWT tensor: '" + name + "'");
  }
  return found->second;
}

void MWTPlan::Impl::load_native_model() {
  for (const TensorDescriptor& descriptor : bundle->tensors()) {
    c10::ScalarType type = at::kFloat;
    if (descriptor.dtype == "int64") {
      type = at::kLong;
    } else if (descriptor.dtype != "float32") {
      throw MWTModelError("MWT tensor dtype is unsupported: " + descriptor.dtype);
    }
    tensors.insert_or_assign(descriptor.name,
                             detail::bundle_tensor_view(*bundle, descriptor, type));
  }

  // The tensor library would refuse these only at the first token, with a
  // message naming nothing of the bundle.
  const std::int64_t state = hidden_dim / 2;
  if (num_layers < 1 || state < 1) {
    throw MWTModelError("invalid MWT dimensions in assets.config");
  }
  const detail::LstmShape shape{num_layers, true};
  if (!detail::lstm_fits_bundle(shape, bundle->tensors().size())) {
    throw MWTModelError("missing MWT tensor: 'encoder.weight_ih_l" +
                        std::to_string(num_layers - 1) + "'");
  }
  const std::vector<std::string> encoder_names = detail::lstm_parameter_names("encoder.", shape);
  require_tensor("embedding.weight");
  for (const std::string& name : encoder_names) {
    require_tensor(name);
  }
  for (const char* name : kOutputNames) {
    require_tensor(name);
  }
  lstm_weights.reserve(encoder_names.size());
  for (const std::string& name : encoder_names) {
    lstm_weights.push_back(require_tensor(name));
  }
  embedding_weight = require_tensor("embedding.weight");
  output0_weight = require_tensor(kOutputNames[0]);
  output0_bias = require_tensor(kOutputNames[1]);
  output2_weight = require_tensor(kOutputNames[2]);
  output2_bias = require_tensor(kOutputNames[3]);
  // Checked before the states are allocated from the configured sizes.
  check_native_shapes();
  initial_state = {at::zeros({2 * num_layers, 1, state}, embedding_weight.options()),
                   at::zeros({2 * num_layers, 1, state}, embedding_weight.options())};
}

void MWTPlan::Impl::check_native_shapes() const {
  auto refuse = [](const std::string& name) {
    throw MWTModelError("MWT tensor does not fit the model: '" + name + "'");
  };
  const std::int64_t state = hidden_dim / 2;
  const std::int64_t gates = detail::checked_product({4, state});
  const std::int64_t both = detail::checked_product({2, state});
  // Rows for <PAD>, <UNK> and the start and end symbols at least, and for
  // every id of the vocabulary.
  if (embedding_weight.scalar_type() != at::kFloat || embedding_weight.dim() != 2 ||
      embedding_weight.size(0) < 4) {
    refuse("embedding.weight");
  }
  for (const auto& [unit, id] : unit_ids) {
    if (id < 0 || id >= embedding_weight.size(0)) {
      refuse("embedding.weight");
    }
  }
  const std::vector<std::string> names =
      detail::lstm_parameter_names("encoder.", detail::LstmShape{num_layers, true});
  for (std::size_t i = 0; i < names.size(); ++i) {
    const std::int64_t layer = static_cast<std::int64_t>(i / 8);
    const std::int64_t input = layer == 0 ? embedding_weight.size(1) : both;
    const at::Tensor& tensor = lstm_weights[i];
    bool fits = false;
    switch (i % 4) {
    case 0:
      fits = has_shape(tensor, {gates, input});
      break;
    case 1:
      fits = has_shape(tensor, {gates, state});
      break;
    default:
      fits = has_shape(tensor, {gates});
      break;
    }
    if (!fits) {
      refuse(names[i]);
    }
  }
  const std::int64_t inner = output0_weight.dim() == 2 ? output0_weight.size(0) : -1;
  const bool outputs_fit[] = {has_shape(output0_weight, {inner, both}),
                              has_shape(output0_bias, {inner}),
                              has_shape(output2_weight, {2, inner}), has_shape(output2_bias, {2})};
  for (std::size_t i = 0; i < 4; ++i) {
    if (!outputs_fit[i]) {
      refuse(kOutputNames[i]);
    }
  }
}

std::string MWTPlan::Impl::insert_spaces(const std::string& token) const {
  const std::vector<std::string> chars = detail::split_codepoints(token);
  const auto positions = static_cast<std::int64_t>(chars.size() + 2);
  std::vector<std::int64_t> ids;
  ids.reserve(chars.size() + 2);
  ids.push_back(kStartId);
  for (const std::string& unit : chars) {
    const auto found = unit_ids.find(unit);
    ids.push_back(found == unit_ids.end() ? kUnknownId : found->second);
  }
  ids.push_back(kEndId);

  const at::Tensor votes = detail::with_model_errors<MWTModelError>([&] {
    c10::InferenceMode guard;
    const at::Tensor input = at::from_blob(ids.data(), {1, positions}, at::kLong);
    const at::Tensor encoded = detail::lstm_dense(
        at::embedding(embedding_weight, input), initial_state[0], initial_state[1], lstm_weights,
        detail::LstmShape{num_layers, true}, "character LSTM");
    const at::Tensor scores = at::linear(
        at::relu(at::linear(encoded, output0_weight, output0_bias)), output2_weight, output2_bias);
    // A tie never inserts a space.
    return at::gt(scores.select(2, 1), scores.select(2, 0)).reshape({positions}).contiguous();
  });
  const bool* space = votes.data_ptr<bool>();

  std::string text;
  text.reserve(token.size() + chars.size());
  for (std::size_t i = 0; i < chars.size(); ++i) {
    // Position 0 is the start symbol: character i sits at position i + 1.
    if (space[i + 1]) {
      text += ' ';
    }
    text += chars[i];
  }
  const std::size_t first = text.find_first_not_of(' ');
  if (first == std::string::npos) {
    return {};
  }
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

} // namespace velmora
