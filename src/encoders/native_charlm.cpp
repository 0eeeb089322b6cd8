#include "encoders/native_charlm.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

#include <ATen/ops/embedding.h>
#include <ATen/ops/empty.h>
#include <ATen/ops/from_blob.h>
#include <c10/core/InferenceMode.h>

#include <velmora/text.hpp>

#include "bundle/tensor_checks.hpp"
#include "bundle/tensor_view.hpp"
#include "encoders/lstm.hpp"

namespace velmora::detail {
namespace {

constexpr const char* kUnsupported =
    "unsupported character language model; hidden size and layer count must be positive and "
    "recurrent dropout must be zero";
constexpr const char* kMismatch = "character language model tensors do not match its assets";

} // namespace

NativeCharLM::NativeCharLM(std::shared_ptr<ModelBundle> bundle, std::string prefix,
                           const JsonValue& assets)
    : bundle_(std::move(bundle)), prefix_(std::move(prefix)) {
  const JsonValue& config = assets.at("config", "charlm assets");
  hidden_size_ = config.at("char_hidden_dim", "charlm assets.config")
                     .as_integer("charlm assets.config.char_hidden_dim");
  num_layers_ = config.at("char_num_layers", "charlm assets.config")
                    .as_integer("charlm assets.config.char_num_layers");
  const JsonValue* rec_dropout = config.find("char_rec_dropout");
  if (hidden_size_ < 1 || num_layers_ < 1) {
    throw CharLMModelError(kUnsupported);
  }
  // Recurrent dropout changes the trained recurrence in a way inference
  // cannot reproduce, so only checkpoints trained without it are accepted.
  if (rec_dropout != nullptr &&
      rec_dropout->as_number("charlm assets.config.char_rec_dropout") != 0.0) {
    throw CharLMModelError(kUnsupported);
  }
  forward_ = assets.at("is_forward_lm", "charlm assets").as_bool("charlm assets.is_forward_lm");

  const JsonValue::Object& units = assets.at("vocab", "charlm assets")
                                       .at("_unit2id", "charlm assets.vocab")
                                       .as_object("charlm assets.vocab._unit2id");
  vocab_.reserve(units.size());
  for (const auto& [key, value] : units) {
    vocab_.emplace(key, value.as_integer("charlm assets.vocab._unit2id." + key));
  }
  if (!vocab_.contains("\n") || !vocab_.contains(" ")) {
    throw CharLMModelError("character language model vocabulary has no start/end symbols");
  }

  char_emb_ = view("char_emb.weight");
  h_init_ = view("charlstm_h_init");
  c_init_ = view("charlstm_c_init");
  if (char_emb_.dim() != 2 || char_emb_.size(0) != static_cast<std::int64_t>(units.size()) ||
      h_init_.sizes() != at::IntArrayRef({num_layers_, 1, hidden_size_}) ||
      c_init_.sizes() != h_init_.sizes()) {
    throw CharLMModelError(kMismatch);
  }
  // Every id is looked up in the embedding.
  for (const auto& [key, id] : vocab_) {
    if (id < 0 || id >= char_emb_.size(0)) {
      throw CharLMModelError(kMismatch);
    }
  }

  const std::vector<std::string> names =
      lstm_parameter_names("charlstm.lstm.", LstmShape{num_layers_, false});
  lstm_params_.reserve(names.size());
  for (const std::string& name : names) {
    lstm_params_.push_back(view(name));
  }
  // ATen's CPU LSTM kernels take the sizes from the input and the states and
  // do not check the weights against them: a short weight would be read past
  // its end, out of the mapped file. So the shapes are checked here.
  // All of one floating type, as the recurrence multiplies them together.
  const std::int64_t gates = checked_product({4, hidden_size_});
  for (std::int64_t layer = 0; layer < num_layers_; ++layer) {
    const std::int64_t input = layer == 0 ? char_emb_.size(1) : hidden_size_;
    const at::Tensor* params = &lstm_params_[static_cast<std::size_t>(4 * layer)];
    if (!has_shape(params[0], {gates, input}) || !has_shape(params[1], {gates, hidden_size_}) ||
        !has_shape(params[2], {gates}) || !has_shape(params[3], {gates})) {
      throw CharLMModelError(kMismatch);
    }
  }
  const c10::ScalarType type = char_emb_.scalar_type();
  for (const at::Tensor* tensor : {&char_emb_, &h_init_, &c_init_}) {
    if (!is_floating(*tensor) || tensor->scalar_type() != type) {
      throw CharLMModelError(kMismatch);
    }
  }
  for (const at::Tensor& tensor : lstm_params_) {
    if (tensor.scalar_type() != type) {
      throw CharLMModelError(kMismatch);
    }
  }
}

namespace {

bool same_bytes(const at::Tensor& a, const at::Tensor& b) {
  return a.scalar_type() == b.scalar_type() && a.sizes() == b.sizes() && a.is_contiguous() &&
         b.is_contiguous() && std::memcmp(a.const_data_ptr(), b.const_data_ptr(), a.nbytes()) == 0;
}

} // namespace

bool NativeCharLM::same_model(const NativeCharLM& other) const {
  if (forward_ != other.forward_ || hidden_size_ != other.hidden_size_ ||
      num_layers_ != other.num_layers_ || vocab_ != other.vocab_ ||
      lstm_params_.size() != other.lstm_params_.size() || !same_bytes(char_emb_, other.char_emb_) ||
      !same_bytes(h_init_, other.h_init_) || !same_bytes(c_init_, other.c_init_)) {
    return false;
  }
  for (std::size_t i = 0; i < lstm_params_.size(); ++i) {
    if (!same_bytes(lstm_params_[i], other.lstm_params_[i])) {
      return false;
    }
  }
  return true;
}

at::Tensor NativeCharLM::view(const std::string& name) const {
  const TensorDescriptor& descriptor = bundle_->tensor(prefix_ + name);
  const auto type = bundle_scalar_type(descriptor.dtype);
  if (!type) {
    throw CharLMModelError("ATen view does not support bundle dtype: " + descriptor.dtype);
  }
  return bundle_tensor_view(*bundle_, descriptor, *type);
}

std::int64_t NativeCharLM::unknown_id() const {
  const auto found = vocab_.find("<UNK>");
  return found == vocab_.end() ? 1 : found->second;
}

std::int64_t NativeCharLM::symbol_id(const char* symbol) const {
  return vocab_.at(symbol);
}

NativeCharLM::CharStream NativeCharLM::char_stream(const std::vector<std::string>& words,
                                                   std::int64_t unknown_id) const {
  CharStream stream;
  stream.ids.reserve(8 * words.size() + 1);
  stream.positions.reserve(words.size());
  stream.ids.push_back(symbol_id("\n"));
  const std::int64_t space = symbol_id(" ");
  auto append_id = [&](const std::string& piece) {
    const auto found = vocab_.find(piece);
    stream.ids.push_back(found == vocab_.end() ? unknown_id : found->second);
  };
  // Matching is byte for byte: a space or line feed inside a word takes its
  // vocabulary id like any other character.
  if (forward_) {
    for (const std::string& word : words) {
      for (const std::string& piece : split_codepoints(word)) {
        append_id(piece);
      }
      stream.ids.push_back(space);
      stream.positions.push_back(static_cast<std::int64_t>(stream.ids.size()) - 1);
    }
  } else {
    // Last word first, each spelled backwards by code points (never by bytes);
    // the positions are then reversed so that entry i belongs to words[i].
    for (auto word = words.rbegin(); word != words.rend(); ++word) {
      const std::vector<std::string> pieces = split_codepoints(*word);
      for (auto piece = pieces.rbegin(); piece != pieces.rend(); ++piece) {
        append_id(*piece);
      }
      stream.ids.push_back(space);
      stream.positions.push_back(static_cast<std::int64_t>(stream.ids.size()) - 1);
    }
    std::reverse(stream.positions.begin(), stream.positions.end());
  }
  return stream;
}

at::Tensor NativeCharLM::encode(const std::vector<std::string>& words) const {
  c10::InferenceMode guard;
  CharStream stream = char_stream(words, unknown_id());
  if (words.empty()) {
    return at::empty({0, hidden_size_}, char_emb_.options());
  }
  const auto length = static_cast<std::int64_t>(stream.ids.size());
  const at::Tensor ids = at::from_blob(stream.ids.data(), {1, length}, at::kLong);
  const at::Tensor embedded = at::embedding(char_emb_, ids);
  const at::Tensor output =
      lstm_dense(embedded, expand_state(h_init_, 1), expand_state(c_init_, 1), lstm_params_,
                 LstmShape{num_layers_, false}, "character model");
  const at::Tensor positions = at::from_blob(
      stream.positions.data(), {static_cast<std::int64_t>(stream.positions.size())}, at::kLong);
  return output.squeeze(0).index_select(0, positions).contiguous();
}

} // namespace velmora::detail
