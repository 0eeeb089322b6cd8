// Loading an MWT bundle, and the plan's public face.

#include <string>
#include <utility>

#include <velmora/json.hpp>

#include "bundle/tensor_errors.hpp"
#include "encoders/model_call.hpp"
#include "wordform/mwt_impl.hpp"

namespace velmora {

using detail::JsonValue;

MWTPlan::Impl::Impl(std::filesystem::path bundle_path, bool verify_checksums)
    : bundle(std::make_shared<ModelBundle>(bundle_path, verify_checksums)) {
  if (bundle->processor() != "mwt") {
    throw MWTModelError("expected an MWT bundle, got '" + bundle->processor() + "'");
  }
  const JsonValue assets = detail::parse_json(bundle->assets_json());

  const JsonValue& config = assets.at("config", "assets");
  dict_only = config.at("dict_only", "assets.config").as_bool();
  ensemble_dict = config.at("ensemble_dict", "assets.config").as_bool();
  if (const JsonValue* exact = config.find("force_exact_pieces");
      exact != nullptr && !exact->is_null()) {
    force_exact_pieces = exact->as_bool();
  }
  vocab_size = config.at("vocab_size", "assets.config").as_integer();
  hidden_dim = config.at("hidden_dim", "assets.config").as_integer();
  num_layers = config.at("num_layers", "assets.config").as_integer();

  const JsonValue::Object& expansions =
      assets.at("expansion_dict", "assets").as_object("assets.expansion_dict");
  expansion_dict.reserve(expansions.size());
  for (const auto& [token, expansion] : expansions) {
    expansion_dict.emplace(token, expansion.as_string("assets.expansion_dict"));
  }

  // Every mode reads the character vocabulary, although only the native
  // model uses it.
  const JsonValue::Object& units = assets.at("vocab", "assets")
                                       .at("_unit2id", "assets.vocab")
                                       .as_object("assets.vocab._unit2id");
  unit_ids.reserve(units.size());
  for (const auto& [unit, id] : units) {
    unit_ids.emplace(unit, id.as_integer("assets.vocab._unit2id"));
  }

  if (dict_only) {
    return;
  }
  if (!force_exact_pieces) {
    seq2seq = std::make_unique<Seq2SeqPlan>(std::move(bundle_path), verify_checksums);
    return;
  }
  load_native_model();
}

MWTPlan::MWTPlan(std::filesystem::path bundle_path, bool verify_checksums) {
  try {
    impl_ = detail::with_model_errors<MWTModelError>(
        [&] { return std::make_unique<Impl>(std::move(bundle_path), verify_checksums); });
  } catch (const detail::JsonError& error) {
    throw MWTModelError(error.what());
  }
}

MWTPlan::~MWTPlan() = default;
MWTPlan::MWTPlan(MWTPlan&& other) noexcept = default;
MWTPlan& MWTPlan::operator=(MWTPlan&& other) noexcept = default;

const MWTPlan::Impl& MWTPlan::impl() const {
  if (!impl_) {
    throw MWTModelError("MWT plan has been moved from");
  }
  return *impl_;
}

const ModelBundle& MWTPlan::bundle() const {
  return *impl().bundle;
}

std::string MWTPlan::expand(const std::string& token) const {
  const Impl& plan = impl();
  return detail::model_call<MWTModelError>([&] { return plan.expand(token); });
}

} // namespace velmora
