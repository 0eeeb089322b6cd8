#pragma once

// Reading the bundles of the part-of-speech tagger and the parsers: optional
// configuration values, vocabularies, composite XPOS components, the feature
// vocabulary's format, the tensor map, the character model's tensors and the
// pair of character language models. Every refusal is thrown with the
// calling plan's own error class and words, so the helpers that refuse take
// that class as their `Error` parameter. Include only from .cpp files: it
// pulls in ATen.

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include <velmora/json.hpp>
#include <velmora/model_bundle.hpp>

#include "bundle/tensor_checks.hpp"
#include "bundle/tensor_view.hpp"
#include "encoders/lstm.hpp"
#include "encoders/native_charlm.hpp"
#include "taggers/highway_lstm.hpp"
#include "taggers/word_inputs.hpp"

namespace velmora::detail {

// Configuration members of `assets.config`: an absent member and a JSON null
// both give the fallback; any other value is converted with the context
// "assets.config." + key, so a wrong kind is a JsonError naming it.
std::int64_t read_config_int(const JsonValue& config, const std::string& key,
                             std::int64_t fallback);
bool read_config_bool(const JsonValue& config, const std::string& key, bool fallback);
double read_config_number(const JsonValue& config, const std::string& key);
// True when the member is present and not null; its value is not read.
bool config_present(const JsonValue& config, std::string_view key);

// The checks every native profile opens with: "char" and "pretrain" true,
// then "char_bidirectional" false. A key is read only when the checks before
// it passed.
bool character_input_profile(const JsonValue& config);
// The checks every native profile closes with: unless the language models
// replace the character LSTM, "char_num_layers" exactly 1 and
// "char_rec_dropout" 0; then "rec_dropout" 0 (a NaN fails). A key is read
// only when the checks before it passed.
bool recurrent_profile(const JsonValue& config, bool use_charlm);

// A vocabulary's "_unit2id" object (context `context` + "._unit2id").
UnitMap read_unit_map(const JsonValue& vocabulary, const std::string& context);
// An array of strings (context `context`, elements `context` + "[]").
std::vector<std::string> read_strings(const JsonValue& value, const std::string& context);

// The assets' "pretrain_vocab" of a model that looks its words up in a
// pretrained embedding: the "_unit2id" map, the optional "lower" flag (false
// when absent, a type error when null), and whether "<PAD>" is id 0 and
// "<UNK>" id 1, which the lookups rely on.
struct PretrainVocabulary {
  UnitMap units;
  bool lower = false;
  bool reserved_ids = false;
};
PretrainVocabulary read_pretrain_vocabulary(const JsonValue& root);

// True when the feature vocabulary `feats` (`assets.vocab.feats`) is keyed
// and separated by a single vertical bar; "sep" is read only when "keyed" is
// true.
bool pipe_separated_features(const JsonValue& feats);

// A plain XPOS vocabulary `xpos` lists ignored tags: its optional "ignore"
// array is present and not empty (anything but an array is refused).
bool xpos_ignore_listed(const JsonValue& xpos);

// The separator of a composite XPOS vocabulary `xpos`, any string; a keyed
// vocabulary is refused with `Error`.
template <class Error> std::string composite_xpos_separator(const JsonValue& xpos) {
  if (xpos.at("keyed", "assets.vocab.xpos").as_bool("assets.vocab.xpos.keyed")) {
    throw Error("keyed composite XPOS vocabularies are unsupported");
  }
  return xpos.at("sep", "assets.vocab.xpos").as_string("assets.vocab.xpos.sep");
}

// The unsigned decimal number at the start of a numbered key, read by the
// standard conversion (which skips leading white space and accepts a sign),
// and whether it spans the whole key; nothing when no number can be read or
// it does not fit in 64 bits.
struct KeyNumber {
  unsigned long long value = 0;
  bool whole = false;
};
std::optional<KeyNumber> leading_number(const std::string& key);

// The index a composite XPOS component key names: a whole unsigned decimal
// number (as leading_number reads it), or nothing.
std::optional<unsigned long long> component_index(const std::string& key);

// The members of a composite XPOS object keyed "0", "1", ..., each turned
// into a component by `read(key, value)`, in numeric order (byte-wise key
// order puts "10" before "2"). Keys that are not whole numbers, or that do
// not name exactly 0 to n - 1, are refused with `Error`.
template <class Error, class Read>
auto read_numbered_components(const JsonValue::Object& members, Read read) {
  using Component = std::decay_t<decltype(read(std::declval<const std::string&>(),
                                               std::declval<const JsonValue&>()))>;
  std::vector<std::pair<unsigned long long, Component>> components;
  components.reserve(members.size());
  for (const auto& [key, value] : members) {
    const std::optional<unsigned long long> index = component_index(key);
    if (!index) {
      throw Error("composite XPOS component keys must be integers");
    }
    components.emplace_back(*index, read(key, value));
  }
  std::stable_sort(components.begin(), components.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<Component> ordered;
  ordered.reserve(components.size());
  for (std::size_t i = 0; i < components.size(); ++i) {
    if (components[i].first != i) {
      throw Error("composite XPOS component keys must be contiguous");
    }
    ordered.push_back(std::move(components[i].second));
  }
  return ordered;
}

// Every tensor of the bundle as a read-only view, by name. A dtype outside
// the bundle dtype table is refused with `Error`, whichever tensor has it.
template <class Error> TensorMap bind_bundle_tensors(const ModelBundle& bundle) {
  const std::vector<TensorDescriptor>& descriptors = bundle.tensors();
  TensorMap tensors;
  tensors.reserve(descriptors.size());
  for (const TensorDescriptor& descriptor : descriptors) {
    const std::optional<c10::ScalarType> type = bundle_scalar_type(descriptor.dtype);
    if (!type) {
      throw Error("ATen view does not support bundle dtype: " + descriptor.dtype);
    }
    tensors.insert_or_assign(descriptor.name, bundle_tensor_view(bundle, descriptor, *type));
  }
  return tensors;
}

// As bind_bundle_tensors, over the narrower table of the language identifier
// and the coreference resolver: int64 and the floating types (float16,
// bfloat16, float32, float64). Any other dtype is refused with `Error`
// "ATen view does not support " + `plan` + " bundle dtype: " + dtype.
template <class Error>
TensorMap bind_floating_bundle_tensors(const ModelBundle& bundle, const std::string& plan) {
  const std::vector<TensorDescriptor>& descriptors = bundle.tensors();
  TensorMap tensors;
  tensors.reserve(descriptors.size());
  for (const TensorDescriptor& descriptor : descriptors) {
    const std::string& dtype = descriptor.dtype;
    const std::optional<c10::ScalarType> type = bundle_scalar_type(dtype);
    if (!type || (dtype != "int64" && !c10::isFloatingType(*type))) {
      throw Error("ATen view does not support " + plan + " bundle dtype: " + dtype);
    }
    tensors.insert_or_assign(descriptor.name, bundle_tensor_view(bundle, descriptor, *type));
  }
  return tensors;
}

// The tensor named `name`, or null.
const at::Tensor* find_tensor(const TensorMap& tensors, std::string_view name);

// The character model's tensors in the order a load checks their presence:
// embedding, attention, the two initial states, the four LSTM parameters and
// the projection "trans_char.weight".
const std::vector<std::string>& character_model_tensor_names();

// The character LSTM's four parameters and its {hidden, cell} initial state,
// looked up in that order.
void cache_character_lstm(const TensorLookup& tensor, std::vector<at::Tensor>& weights,
                          std::vector<at::Tensor>& initial_state);

// What a tagger or parser multiplies through, checked at load against its
// configuration: every tensor must hold values of the plan's one floating
// type and have the shape the sizes give. Refusals are `Error` with the
// plan's words: "<model> tensor has an unsupported dtype: '<name>'", "<model>
// config disagrees with tensor '<name>'".
template <class Error> class TensorContract {
public:
  TensorContract(std::string model, TensorLookup tensor, c10::ScalarType type)
      : model_(std::move(model)), tensor_(std::move(tensor)), type_(type) {}

  // A tensor of the plan's type, of any shape.
  const at::Tensor& typed(const std::string& name) const {
    const at::Tensor& found = tensor_(name);
    if (found.scalar_type() != type_) {
      throw Error(dtype_disagreement(model_, name));
    }
    return found;
  }

  const at::Tensor& require(const std::string& name, std::initializer_list<Extent> extents) const {
    const at::Tensor& found = typed(name);
    require_shape<Error>(model_, name, found, extents);
    return found;
  }

  // `count` values in any layout, for a tensor the plan reshapes.
  const at::Tensor& values(const std::string& name, std::int64_t count) const {
    const at::Tensor& found = typed(name);
    if (count < 0 || found.numel() != count) {
      throw Error(config_disagreement(model_, name));
    }
    return found;
  }

  // The parameters of an LSTM of `shape` named from `prefix`, whose first
  // layer reads `input` columns, with `hidden` units per direction, in the
  // operator's order. Its tensors must all be present (callers look them up
  // layer by layer first, so that a huge configured layer count ends at its
  // first missing tensor).
  std::vector<at::Tensor> lstm(const std::string& prefix, const LstmShape& shape,
                               std::int64_t input, std::int64_t hidden) const {
    const std::vector<std::string> names = lstm_parameter_names(prefix, shape);
    std::vector<at::Tensor> params;
    params.reserve(names.size());
    for (const std::string& name : names) {
      params.push_back(typed(name));
    }
    const std::int64_t misfit = lstm_shape_mismatch(params, shape, input, hidden);
    if (misfit >= 0) {
      throw Error(config_disagreement(model_, names[static_cast<std::size_t>(misfit)]));
    }
    return params;
  }

  // An encoder whose rows of type `output` join the plan's features: they
  // must not widen the plan's type, which the recurrence after them reads.
  // `name` is the tensor that sets the encoder's type.
  void joins(const std::string& name, c10::ScalarType output) const {
    if (c10::promoteTypes(type_, output) != type_) {
      throw Error(dtype_disagreement(model_, name));
    }
  }

  // An embedding of `width` columns whose rows hold every id of
  // `vocabulary` and the `reserved` ids 0, 1, ... the plan reads anyway.
  const at::Tensor& embedding(const std::string& name, std::int64_t width,
                              const UnitMap& vocabulary, std::int64_t reserved) const {
    const at::Tensor& found = require(name, {Extent::any(), width});
    require_rows_for<Error>(model_, name, found, vocabulary, reserved);
    return found;
  }

  // The pretrained embedding and its projection to `projected` columns.
  void pretrained(const UnitMap& vocabulary, std::int64_t projected, std::int64_t reserved) const {
    const std::int64_t width = extent_of(tensor_("pretrained_emb.weight"), 1);
    embedding("pretrained_emb.weight", width, vocabulary, reserved);
    require("trans_pretrained.weight", {projected, width});
  }

  // The character model over embeddings of `width` columns for the ids of
  // `vocabulary`, its recurrence of `hidden` units projected to `projected`
  // columns.
  void character_model(std::int64_t width, std::int64_t hidden, std::int64_t projected,
                       const UnitMap& vocabulary, std::int64_t reserved) const {
    const std::int64_t gates = checked_product({4, hidden});
    const std::vector<std::string>& names = character_model_tensor_names();
    embedding(names[0], width, vocabulary, reserved);
    require(names[1], {1, hidden});
    require(names[2], {1, 1, hidden});
    require(names[3], {1, 1, hidden});
    require(names[4], {gates, width});
    require(names[5], {gates, hidden});
    require(names[6], {gates});
    require(names[7], {gates});
    require(names[8], {projected, hidden});
  }

  // The highway stack `stack` of `layers` layers of `hidden` units per
  // direction over inputs of `input` columns, and its initial states.
  void highway_stack(const std::string& stack, std::int64_t layers, std::int64_t input,
                     std::int64_t hidden) const {
    const std::int64_t gates = checked_product({4, hidden});
    const std::int64_t both = checked_product({2, hidden});
    for (std::int64_t layer = 0; layer < layers; ++layer) {
      const std::int64_t width = layer == 0 ? input : both;
      const std::vector<std::string> names = highway_layer_tensor_names(stack, layer);
      for (std::size_t i = 0; i < 8; ++i) {
        const std::size_t kind = i % 4;
        require(names[i], kind == 0   ? std::initializer_list<Extent>{gates, width}
                          : kind == 1 ? std::initializer_list<Extent>{gates, hidden}
                                      : std::initializer_list<Extent>{gates});
      }
      for (std::size_t i = 8; i < names.size(); i += 2) {
        require(names[i], {both, width});
        require(names[i + 1], {both});
      }
    }
    const std::int64_t rows = checked_product({2, layers});
    require(stack + "_h_init", {rows, 1, hidden});
    require(stack + "_c_init", {rows, 1, hidden});
  }

private:
  std::string model_;
  TensorLookup tensor_;
  c10::ScalarType type_;
};

// The forward and backward character language models of `assets.charlm`
// over the bundle's "charmodel_forward." and "charmodel_backward." tensors,
// built in that order. Returns false when a model's direction disagrees with
// its slot (both are built first).
bool load_charlm_pair(const std::shared_ptr<ModelBundle>& bundle, const JsonValue& assets,
                      std::unique_ptr<NativeCharLM>& forward,
                      std::unique_ptr<NativeCharLM>& backward);

} // namespace velmora::detail
