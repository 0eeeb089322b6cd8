// Loading a "langid" bundle: sizes, the character and tag vocabularies, and
// the tensors of the embedding, the bidirectional LSTM and the output layer:
// their shapes, their one type, and rows for every character id.

#include <utility>

#include <ATen/ops/zeros.h>

#include <velmora/json.hpp>

#include "bundle/tensor_checks.hpp"
#include "bundle/tensor_view.hpp"
#include "classifiers/langid_impl.hpp"
#include "encoders/lstm.hpp"
#include "taggers/tagger_assets.hpp"

namespace velmora {
namespace {

using detail::JsonValue;

constexpr const char* kModel = "LangID";

} // namespace

LangIDPlan::Impl::Impl(std::filesystem::path bundle_path, bool verify_checksums)
    : bundle(std::make_shared<ModelBundle>(std::move(bundle_path), verify_checksums)) {
  if (bundle->processor() != "langid") {
    throw LangIDModelError("expected a langid bundle, got '" + bundle->processor() + "'");
  }
  const JsonValue root = detail::parse_json(bundle->assets_json());
  const JsonValue& config = root.at("config", "assets");
  for (const auto& [key, value] :
       {std::pair{"num_layers", &num_layers}, std::pair{"embedding_dim", &embedding_dim},
        std::pair{"hidden_dim", &hidden_dim}}) {
    *value = config.at(key, "assets.config").as_integer("assets.config");
    if (*value <= 0) {
      throw LangIDModelError(std::string("LangID config value must be positive: ") + key);
    }
  }

  const JsonValue::Object& characters =
      root.at("char_to_idx", "assets").as_object("assets.char_to_idx");
  char_to_idx.reserve(characters.size());
  for (const auto& [character, id] : characters) {
    char_to_idx.emplace(character, id.as_integer("assets.char_to_idx"));
  }
  const auto unk = char_to_idx.find("UNK");
  const auto pad = char_to_idx.find("<PAD>");
  if (unk == char_to_idx.end() || pad == char_to_idx.end()) {
    throw LangIDModelError("LangID vocabulary lacks UNK or <PAD>");
  }
  unk_id = unk->second;
  pad_id = pad->second;

  const JsonValue::Object& tag_ids = root.at("tag_to_idx", "assets").as_object("assets.tag_to_idx");
  tags.assign(tag_ids.size(), std::string());
  std::vector<bool> seen(tag_ids.size(), false);
  for (const auto& [tag, value] : tag_ids) {
    const long long id = value.as_integer("assets.tag_to_idx");
    if (id < 0 || id >= static_cast<long long>(tags.size()) || seen[static_cast<std::size_t>(id)]) {
      throw LangIDModelError("LangID tag ids must be contiguous and unique");
    }
    tags[static_cast<std::size_t>(id)] = tag;
    seen[static_cast<std::size_t>(id)] = true;
  }

  tensors = detail::bind_floating_bundle_tensors<LangIDModelError>(*bundle, "LangID");

  const auto tag_count = static_cast<std::int64_t>(tags.size());
  check_shape("char_embeds.weight", {static_cast<std::int64_t>(char_to_idx.size()), embedding_dim});
  // Ids may repeat, so rows for as many ids as there are characters can
  // still miss one.
  detail::require_rows_for<LangIDModelError>(kModel, "char_embeds.weight",
                                             tensor("char_embeds.weight"), char_to_idx);
  // The hidden size comes from the assets and may be anything: the product
  // is checked, and an overflow matches no tensor.
  check_shape("hidden_to_tag.weight", {tag_count, detail::checked_product({2, hidden_dim})});
  check_shape("hidden_to_tag.bias", {tag_count});

  // Layer by layer, so that a layer count beyond the bundle's tensors ends at
  // its first missing weight. Every recurrent weight is checked as well: the
  // LSTM kernels take their sizes from the input and the states, so a weight
  // of another shape would be read past its end.
  std::vector<std::string> names;
  for (std::int64_t layer = 0; layer < num_layers; ++layer) {
    for (std::string& name : detail::lstm_layer_parameter_names("lstm.", layer, true)) {
      lstm_weights.push_back(tensor(name));
      names.push_back(std::move(name));
    }
  }
  const std::int64_t misfit = detail::lstm_shape_mismatch(
      lstm_weights, detail::LstmShape{num_layers, true}, embedding_dim, hidden_dim);
  if (misfit >= 0) {
    throw LangIDModelError("LangID tensor has an unexpected shape: '" +
                           names[static_cast<std::size_t>(misfit)] + "'");
  }
  // One floating type throughout: the embedding's rows set the type of the
  // states, and the recurrence and the output layer multiply in it.
  names.insert(names.begin(), "char_embeds.weight");
  names.emplace_back("hidden_to_tag.weight");
  names.emplace_back("hidden_to_tag.bias");
  const c10::ScalarType type = tensor("char_embeds.weight").scalar_type();
  for (const std::string& name : names) {
    if (!detail::is_floating(tensor(name)) || tensor(name).scalar_type() != type) {
      throw LangIDModelError(detail::dtype_disagreement(kModel, name));
    }
  }
  default_mask = at::zeros({tag_count}, at::kFloat);
}

const at::Tensor& LangIDPlan::Impl::tensor(std::string_view name) const {
  const at::Tensor* found = detail::find_tensor(tensors, name);
  if (found == nullptr) {
    throw LangIDModelError("missing LangID weight: '" + std::string(name) + "'");
  }
  return *found;
}

void LangIDPlan::Impl::check_shape(const std::string& name,
                                   std::initializer_list<detail::Extent> shape) const {
  if (!detail::has_shape(tensor(name), shape)) {
    throw LangIDModelError("LangID tensor has an unexpected shape: '" + name + "'");
  }
}

} // namespace velmora
