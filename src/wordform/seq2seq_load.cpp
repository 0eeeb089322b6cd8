#include <algorithm>
#include <limits>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>

#include <ATen/ops/zeros.h>
#include <c10/util/BFloat16.h>
#include <c10/util/Half.h>

#include <velmora/json.hpp>

#include "bundle/config_bounds.hpp"
#include "bundle/tensor_checks.hpp"
#include "bundle/tensor_view.hpp"
#include "encoders/lstm.hpp"
#include "wordform/seq2seq_impl.hpp"

namespace velmora {
namespace {

using detail::JsonValue;

[[noreturn]] void fail(const std::string& message) {
  throw Seq2SeqModelError(message);
}

std::int64_t config_int(const JsonValue& config, std::string_view key, std::int64_t fallback) {
  const JsonValue* value = config.find(key);
  if (value == nullptr || value->is_null()) {
    return fallback;
  }
  return value->as_integer("assets.config." + std::string(key));
}

bool config_bool(const JsonValue& config, std::string_view key) {
  const JsonValue* value = config.find(key);
  if (value == nullptr || value->is_null()) {
    return false;
  }
  return value->as_bool("assets.config." + std::string(key));
}

detail::Seq2SeqVocab read_seq2seq_vocab(const JsonValue& object, const std::string& context) {
  detail::Seq2SeqVocab vocab;
  const std::string units_context = context + "._id2unit";
  const std::string unit_context = units_context + "[]";
  for (const JsonValue& unit : object.at("_id2unit", context).as_array(units_context)) {
    vocab.id2unit.push_back(unit.as_string(unit_context));
  }
  const std::string ids_context = context + "._unit2id";
  for (const auto& [unit, id] : object.at("_unit2id", context).as_object(ids_context)) {
    vocab.unit2id.emplace(unit, id.as_integer(ids_context));
  }
  static const char* const specials[] = {"<PAD>", "<UNK>", "<SOS>", "<EOS>"};
  bool valid = vocab.id2unit.size() >= 4;
  for (std::size_t i = 0; valid && i < 4; ++i) {
    valid = vocab.id2unit[i] == specials[i];
  }
  if (!valid) {
    fail(context + " must begin with <PAD>, <UNK>, <SOS>, <EOS>");
  }
  return vocab;
}

// -1e12 and 1e-12 where the floating type holds them; float16 cannot, so it
// gets its lowest finite and smallest positive normal values (filling a
// float16 tensor with -1e12 would make every prediction throw).
std::pair<double, double> fill_values(c10::ScalarType type) {
  double lowest = -1e12;
  double smallest = 1e-12;
  auto fit = [&](double type_lowest, double type_smallest_normal) {
    lowest = std::max(lowest, type_lowest);
    smallest = std::max(smallest, type_smallest_normal);
  };
  switch (type) {
  case c10::ScalarType::Half:
    fit(static_cast<double>(std::numeric_limits<c10::Half>::lowest()),
        static_cast<double>(std::numeric_limits<c10::Half>::min()));
    break;
  case c10::ScalarType::BFloat16:
    fit(static_cast<double>(std::numeric_limits<c10::BFloat16>::lowest()),
        static_cast<double>(std::numeric_limits<c10::BFloat16>::min()));
    break;
  default:
    break;
  }
  return {lowest, smallest};
}

} // namespace

Seq2SeqPlan::Impl::Impl(std::filesystem::path bundle_path, bool verify_checksums)
    : bundle(std::make_shared<ModelBundle>(std::move(bundle_path), verify_checksums)) {
  const std::string& processor = bundle->processor();
  if (processor != "lemma" && processor != "mwt") {
    fail("expected a lemma or MWT bundle, got '" + processor + "'");
  }

  const JsonValue assets = detail::parse_json(bundle->assets_json());
  const JsonValue& config = assets.at("config", "assets");
  const JsonValue& vocab = assets.at("vocab", "assets");

  if (const JsonValue* chars = vocab.find("char")) {
    char_vocab = read_seq2seq_vocab(*chars, "assets.vocab.char");
  } else {
    char_vocab = read_seq2seq_vocab(vocab, "assets.vocab");
  }
  if (const JsonValue* tags = vocab.find("pos")) {
    pos_vocab = read_seq2seq_vocab(*tags, "assets.vocab.pos");
  }

  vocab_size = config_int(config, "vocab_size", 0);
  emb_dim = config_int(config, "emb_dim", 0);
  hidden_dim = config_int(config, "hidden_dim", 0);
  num_layers = config_int(config, "num_layers", 0);
  max_dec_len = config_int(config, "max_dec_len", 0);
  beam_size = config_int(config, "beam_size", 1);
  batch_size = config_int(config, "batch_size", 50);
  pos = config_bool(config, "pos");
  pos_dim = config_int(config, "pos_dim", 0);
  edit = config_bool(config, "edit");
  copy = config_bool(config, "copy");

  if (config.at("attn_type", "assets.config").as_string("assets.config.attn_type") != "soft") {
    fail("native seq2seq inference currently supports soft attention");
  }
  if (config_bool(config, "charlm")) {
    fail("contextual character-LM seq2seq bundles are unsupported");
  }
  if (vocab_size != static_cast<std::int64_t>(char_vocab.id2unit.size()) || emb_dim < 1 ||
      hidden_dim < 1 || hidden_dim % 2 != 0 || num_layers < 1 || max_dec_len < 1 || beam_size < 1 ||
      batch_size < 1) {
    fail("invalid seq2seq dimensions in assets.config");
  }
  detail::require_config_bound<Seq2SeqModelError>("seq2seq", "max_dec_len", max_dec_len,
                                                  detail::kMaxDecoderSteps);
  detail::require_config_bound<Seq2SeqModelError>("seq2seq", "beam_size", beam_size,
                                                  detail::kMaxBeamSize);
  detail::require_config_bound<Seq2SeqModelError>("seq2seq", "batch_size", batch_size,
                                                  detail::kMaxBatchSize);
  if (pos && (!pos_vocab || pos_dim < 1)) {
    fail("the seq2seq config enables POS without a POS vocabulary");
  }

  for (const TensorDescriptor& descriptor : bundle->tensors()) {
    const std::optional<c10::ScalarType> type = detail::bundle_scalar_type(descriptor.dtype);
    if (!type) {
      fail("ATen view does not support bundle dtype: " + descriptor.dtype);
    }
    tensors.insert_or_assign(descriptor.name,
                             detail::bundle_tensor_view(*bundle, descriptor, *type));
  }

  const detail::LstmShape encoder_shape{num_layers, true};
  if (!detail::lstm_fits_bundle(encoder_shape, bundle->tensors().size())) {
    fail(detail::config_disagreement("seq2seq",
                                     "encoder.weight_ih_l" + std::to_string(num_layers - 1)));
  }
  const std::vector<std::string> encoder_names =
      detail::lstm_parameter_names("encoder.", encoder_shape);
  const at::Tensor& embedding = require_tensor("embedding.weight");
  for (const std::string& name : encoder_names) {
    require_tensor(name);
  }
  for (const char* name :
       {"decoder.lstm_cell.weight_ih", "decoder.lstm_cell.weight_hh", "decoder.lstm_cell.bias_ih",
        "decoder.lstm_cell.bias_hh", "decoder.attention_layer.linear_in.weight",
        "decoder.attention_layer.linear_out.weight", "dec2vocab.weight", "dec2vocab.bias"}) {
    require_tensor(name);
  }
  if (copy) {
    require_tensor("copy_gate.weight");
    require_tensor("copy_gate.bias");
  }
  if (pos) {
    require_tensor("pos_embedding.weight");
  }
  if (edit) {
    for (const char* name :
         {"edit_clf.0.weight", "edit_clf.0.bias", "edit_clf.2.weight", "edit_clf.2.bias"}) {
      require_tensor(name);
    }
  }

  check_shapes(encoder_names);

  encoder_weights.reserve(encoder_names.size());
  for (const std::string& name : encoder_names) {
    encoder_weights.push_back(require_tensor(name));
  }
  encoder_initial_hidden = at::zeros({2 * num_layers, 1, hidden_dim / 2}, embedding.options());
  encoder_initial_cell = at::zeros({2 * num_layers, 1, hidden_dim / 2}, embedding.options());
  std::tie(masked_score, empty_mass) = fill_values(embedding.scalar_type());
}

// What the network multiplies through and the vocabularies index, checked
// before anything is allocated from the configured sizes.
void Seq2SeqPlan::Impl::check_shapes(const std::vector<std::string>& encoder_names) const {
  using detail::Extent;
  const c10::ScalarType type = require_tensor("embedding.weight").scalar_type();
  const auto require = [&](const std::string& name, std::initializer_list<Extent> extents) {
    const at::Tensor& tensor = require_tensor(name);
    if (!detail::is_floating(tensor) || tensor.scalar_type() != type) {
      fail(detail::dtype_disagreement("seq2seq", name));
    }
    detail::require_shape<Seq2SeqModelError>("seq2seq", name, tensor, extents);
  };
  const std::int64_t state = hidden_dim / 2;
  const std::int64_t encoder_gates = detail::checked_product({4, state});
  const std::int64_t decoder_gates = detail::checked_product({4, hidden_dim});
  require("embedding.weight", {vocab_size, emb_dim});
  for (std::size_t i = 0; i < encoder_names.size(); ++i) {
    const std::int64_t input = i < 8 ? emb_dim : hidden_dim;
    const std::size_t kind = i % 4;
    require(encoder_names[i], kind == 0   ? std::initializer_list<Extent>{encoder_gates, input}
                              : kind == 1 ? std::initializer_list<Extent>{encoder_gates, state}
                                          : std::initializer_list<Extent>{encoder_gates});
  }
  require("decoder.lstm_cell.weight_ih", {decoder_gates, emb_dim});
  require("decoder.lstm_cell.weight_hh", {decoder_gates, hidden_dim});
  require("decoder.lstm_cell.bias_ih", {decoder_gates});
  require("decoder.lstm_cell.bias_hh", {decoder_gates});
  require("decoder.attention_layer.linear_in.weight", {hidden_dim, hidden_dim});
  require("decoder.attention_layer.linear_out.weight",
          {hidden_dim, detail::checked_product({2, hidden_dim})});
  require("dec2vocab.weight", {vocab_size, hidden_dim});
  require("dec2vocab.bias", {vocab_size});
  if (copy) {
    require("copy_gate.weight", {1, hidden_dim});
    require("copy_gate.bias", {1});
  }
  if (pos) {
    // The tag takes a position of its own in front of the characters.
    require("pos_embedding.weight", {Extent::any(), emb_dim});
    // An unknown tag reads the <UNK> row.
    detail::require_rows_for<Seq2SeqModelError>("seq2seq", "pos_embedding.weight",
                                                require_tensor("pos_embedding.weight"),
                                                pos_vocab->unit2id, detail::kSeq2SeqUnk + 1);
  }
  if (edit) {
    const at::Tensor& inner = require_tensor("edit_clf.0.weight");
    const std::int64_t width = inner.dim() == 2 ? inner.size(0) : -1;
    const at::Tensor& outer = require_tensor("edit_clf.2.weight");
    const std::int64_t classes = outer.dim() == 2 ? outer.size(0) : -1;
    require("edit_clf.0.weight", {width, hidden_dim});
    require("edit_clf.0.bias", {width});
    require("edit_clf.2.weight", {classes, width});
    require("edit_clf.2.bias", {classes});
  }
  detail::require_rows_for<Seq2SeqModelError>(
      "seq2seq", "embedding.weight", require_tensor("embedding.weight"), char_vocab.unit2id);
}

const at::Tensor& Seq2SeqPlan::Impl::require_tensor(const std::string& name) const {
  const auto found = tensors.find(name);
  if (found == tensors.end()) {
    fail("missing seq2seq tensor: '" + name + "'");
  }
  return found->second;
}

std::int64_t Seq2SeqPlan::Impl::pos_id(const std::string& tag) const {
  const auto found = pos_vocab->unit2id.find(tag);
  return found == pos_vocab->unit2id.end() ? detail::kSeq2SeqUnk : found->second;
}

} // namespace velmora
