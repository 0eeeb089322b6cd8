// Loading character language models: which assets and tensors are accepted,
// and which defect is reported first.

#include <velmora/charlm.hpp>

#include "charlm_test_support.hpp"

namespace {

using velmora::CharLMModelError;
using velmora::ModelBundleError;
using velmora::detail::JsonError;
using velmora::detail::JsonValue;
using velmora::detail::NativeCharLM;
namespace vt = velmora::test;

constexpr const char* kUnsupported =
    "unsupported character language model; hidden size and layer count must be positive and "
    "recurrent dropout must be zero";
constexpr const char* kMismatch = "character language model tensors do not match its assets";

// The message of what loading `assets` over the one-layer forward model throws,
// prefixed with the error's kind.
std::string load_failure(const JsonValue& assets, const std::string& prefix = "") {
  try {
    NativeCharLM model(vt::open_charlm_bundle("models/forward1"), prefix, assets);
  } catch (const CharLMModelError& error) {
    return std::string("charlm: ") + error.what();
  } catch (const ModelBundleError& error) {
    return std::string("bundle: ") + error.what();
  } catch (const JsonError& error) {
    return std::string("json: ") + error.what();
  }
  return "loaded";
}

JsonValue forward1_assets() {
  return vt::charlm_assets(*vt::open_charlm_bundle("models/forward1"), "");
}

JsonValue set(const std::vector<std::string>& path, JsonValue value) {
  return vt::with_member(forward1_assets(), path, std::move(value));
}

TEST(CharLMLoad, RecurrentDropoutMustBeZero) {
  const std::vector<std::string> dropout = {"config", "char_rec_dropout"};
  EXPECT_EQ(load_failure(set(dropout, JsonValue(0LL))), "loaded");
  EXPECT_EQ(load_failure(set(dropout, JsonValue(-0.0))), "loaded");
  EXPECT_EQ(load_failure(set(dropout, JsonValue(0.5))), std::string("charlm: ") + kUnsupported);
  EXPECT_EQ(load_failure(set(dropout, JsonValue())),
            "json: expected JSON number at charlm assets.config.char_rec_dropout");
  EXPECT_EQ(load_failure(set(dropout, JsonValue(std::string("0")))),
            "json: expected JSON number at charlm assets.config.char_rec_dropout");
}

TEST(CharLMLoad, SizesMustBePositiveBeforeDropoutIsRead) {
  JsonValue assets = set({"config", "char_rec_dropout"}, JsonValue(std::string("high")));
  EXPECT_EQ(load_failure(vt::with_member(assets, {"config", "char_hidden_dim"}, JsonValue(0LL))),
            std::string("charlm: ") + kUnsupported);
  EXPECT_EQ(load_failure(set({"config", "char_num_layers"}, JsonValue(-1LL))),
            std::string("charlm: ") + kUnsupported);
}

TEST(CharLMLoad, AssetErrorsNameTheirPlace) {
  const JsonValue assets = forward1_assets();
  EXPECT_EQ(load_failure(vt::with_member(assets, {"config"}, std::nullopt)),
            "json: missing JSON key 'config' at charlm assets");
  EXPECT_EQ(load_failure(vt::with_member(assets, {"config", "char_num_layers"}, std::nullopt)),
            "json: missing JSON key 'char_num_layers' at charlm assets.config");
  EXPECT_EQ(load_failure(set({"config", "char_hidden_dim"}, JsonValue(8.0))),
            "json: expected JSON integer at charlm assets.config.char_hidden_dim");
  EXPECT_EQ(load_failure(set({"is_forward_lm"}, JsonValue(1LL))),
            "json: expected JSON boolean at charlm assets.is_forward_lm");
  EXPECT_EQ(load_failure(vt::with_member(assets, {"vocab", "_unit2id"}, std::nullopt)),
            "json: missing JSON key '_unit2id' at charlm assets.vocab");
  EXPECT_EQ(load_failure(set({"vocab", "_unit2id", "b"}, JsonValue(5.0))),
            "json: expected JSON integer at charlm assets.vocab._unit2id.b");
  EXPECT_EQ(load_failure(JsonValue(JsonValue::Array{})),
            "json: expected JSON object at charlm assets");
}

TEST(CharLMLoad, VocabularyNeedsStartAndEndSymbols) {
  const JsonValue assets = forward1_assets();
  for (const std::string symbol : {"\n", " "}) {
    EXPECT_EQ(load_failure(vt::with_member(assets, {"vocab", "_unit2id", symbol}, std::nullopt)),
              "charlm: character language model vocabulary has no start/end symbols");
  }
}

TEST(CharLMLoad, TensorsMustMatchTheAssets) {
  const JsonValue assets = forward1_assets();
  // One vocabulary entry more, or one fewer, than the embedding has rows.
  EXPECT_EQ(load_failure(set({"vocab", "_unit2id", "q"}, JsonValue(3LL))),
            std::string("charlm: ") + kMismatch);
  EXPECT_EQ(load_failure(vt::with_member(assets, {"vocab", "_unit2id", "h"}, std::nullopt)),
            std::string("charlm: ") + kMismatch);
  EXPECT_EQ(load_failure(set({"config", "char_num_layers"}, JsonValue(2LL))),
            std::string("charlm: ") + kMismatch);
  EXPECT_EQ(load_failure(set({"config", "char_hidden_dim"}, JsonValue(9LL))),
            std::string("charlm: ") + kMismatch);
  // Ids are taken as they stand: a shared id is no defect, but every id must
  // be a row of the embedding.
  EXPECT_EQ(load_failure(set({"vocab", "_unit2id", "b"}, JsonValue(4LL))), "loaded");
  const auto rows = vt::open_charlm_bundle("models/forward1")->tensor("char_emb.weight").shape[0];
  EXPECT_EQ(load_failure(set({"vocab", "_unit2id", "b"}, JsonValue(static_cast<long long>(rows)))),
            std::string("charlm: ") + kMismatch);
  EXPECT_EQ(load_failure(set({"vocab", "_unit2id", "b"}, JsonValue(-1LL))),
            std::string("charlm: ") + kMismatch);
}

TEST(CharLMLoad, TensorNamesCarryThePrefix) {
  const JsonValue assets = forward1_assets();
  EXPECT_EQ(load_failure(assets, "charmodel_forward."),
            "bundle: tensor is not present in bundle: 'charmodel_forward.char_emb.weight'");
  NativeCharLM embedded(vt::open_charlm_bundle("embedded/tagger"), "charmodel_backward.",
                        vt::charlm_assets(*vt::open_charlm_bundle("embedded/tagger"), "backward"));
  EXPECT_FALSE(embedded.is_forward());
  EXPECT_EQ(embedded.hidden_size(), 5);

  auto odd = vt::open_charlm_bundle("cases/bad_dtype");
  EXPECT_THROW(
      {
        try {
          NativeCharLM model(odd, "", vt::charlm_assets(*odd, ""));
        } catch (const CharLMModelError& error) {
          EXPECT_STREQ(error.what(), "ATen view does not support bundle dtype: uint16");
          throw;
        }
      },
      CharLMModelError);
}

// The tensor library would run mis-shaped LSTM weights without complaint and
// read a short one past its end, so they are refused at load.
TEST(CharLMLoad, LstmWeightsMustFitTheSizes) {
  for (const std::string name : {"short_weight_hh", "wide_weight_ih_l1", "short_bias"}) {
    auto bundle = vt::open_charlm_bundle("cases/" + name);
    try {
      NativeCharLM model(bundle, "", vt::charlm_assets(*bundle, ""));
      ADD_FAILURE() << name << " loaded";
    } catch (const CharLMModelError& error) {
      EXPECT_STREQ(error.what(), kMismatch) << name;
    }
  }
}

TEST(CharLMPlanLoad, AcceptsOnlyCharacterModelBundles) {
  try {
    velmora::CharLMPlan plan(vt::fixture("charlm/embedded/tagger"), false);
    ADD_FAILURE() << "a POS bundle loaded";
  } catch (const CharLMModelError& error) {
    EXPECT_STREQ(error.what(), "expected a forward/backward_charlm bundle, got 'pos'");
  }
  EXPECT_THROW(velmora::CharLMPlan(vt::fixture("charlm/no_such_bundle"), false), ModelBundleError);
  // JSON errors are not rewrapped.
  try {
    velmora::CharLMPlan plan(vt::fixture("charlm/cases/no_direction"), false);
    ADD_FAILURE() << "assets without a direction loaded";
  } catch (const ModelBundleError& error) {
    ADD_FAILURE() << "rewrapped: " << error.what();
  } catch (const JsonError& error) {
    EXPECT_STREQ(error.what(), "missing JSON key 'is_forward_lm' at charlm assets");
  }
}

TEST(CharLMPlanLoad, DirectionComesFromTheAssetsAndMovesKeepTheModel) {
  velmora::CharLMPlan plan(vt::fixture("charlm/cases/backward_says_forward"), false);
  EXPECT_EQ(plan.bundle().processor(), "backward_charlm");
  EXPECT_TRUE(plan.is_forward());
  const auto expected = plan.encode({"ab", "c"});

  velmora::CharLMPlan moved(std::move(plan));
  EXPECT_EQ(moved.encode({"ab", "c"}), expected);
  velmora::CharLMPlan other(vt::fixture("charlm/models/backward1"), false);
  other = std::move(moved);
  EXPECT_TRUE(other.is_forward());
  EXPECT_EQ(other.encode({"ab", "c"}), expected);
}

} // namespace
