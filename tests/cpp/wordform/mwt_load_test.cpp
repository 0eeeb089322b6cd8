// Loading MWT bundles: the accepted modes and every refusal. Assets cases
// copy the dictionary-only bundle and rewrite its assets (checksums are not
// verified, so the manifest's digest of the assets does not matter).

#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include <velmora/mwt.hpp>

#include "test_support.hpp"
#include "wordform/mwt_impl.hpp"

namespace velmora {
namespace {

namespace fs = std::filesystem;

fs::path bundle(const std::string& name) {
  return test::fixture("wordform/" + name + "/bundle");
}

// The message of the MWTModelError that loading throws.
std::string load_error(const fs::path& path) {
  try {
    MWTPlan plan(path, false);
  } catch (const MWTModelError& error) {
    return error.what();
  }
  return "<loaded>";
}

class MWTAssetsTest : public ::testing::Test {
protected:
  std::string assets_error(const std::string& assets, const std::string& source = "mwt_dict") {
    const fs::path target = temp_.path() / ("bundle" + std::to_string(++copies_));
    fs::copy(bundle(source), target, fs::copy_options::recursive);
    std::ofstream(target / "assets.json", std::ios::binary | std::ios::trunc) << assets;
    return load_error(target);
  }

  // Assets with one configuration member replaced (or added).
  static std::string with_config(const std::string& members) {
    return R"({"config": {)" + members +
           R"(}, "expansion_dict": {"du": "de le"}, "vocab": {"_unit2id": {"a": 4}}})";
  }

private:
  test::TempDir temp_;
  int copies_ = 0;
};

TEST_F(MWTAssetsTest, EveryModeReadsTheWholeConfiguration) {
  const std::string ints = R"("vocab_size": 5, "hidden_dim": 4, "num_layers": 1)";
  EXPECT_EQ(assets_error(with_config(R"("dict_only": true, "ensemble_dict": false, )" + ints)),
            "<loaded>");
  // Missing keys are located; values of the wrong kind are not.
  EXPECT_EQ(assets_error(with_config(R"("ensemble_dict": false, )" + ints)),
            "missing JSON key 'dict_only' at assets.config");
  EXPECT_EQ(assets_error(with_config(R"("dict_only": 1, "ensemble_dict": false, )" + ints)),
            "expected JSON boolean");
  EXPECT_EQ(assets_error(with_config(R"("dict_only": true, "ensemble_dict": false,
                                         "force_exact_pieces": "no", )" +
                                     ints)),
            "expected JSON boolean");
  EXPECT_EQ(assets_error(with_config(
                R"("dict_only": true, "ensemble_dict": false, "hidden_dim": 4, "num_layers": 1)")),
            "missing JSON key 'vocab_size' at assets.config");
  EXPECT_EQ(assets_error(with_config(R"("dict_only": true, "ensemble_dict": false,
                                         "vocab_size": 5.0, "hidden_dim": 4, "num_layers": 1)")),
            "expected JSON integer");
}

TEST_F(MWTAssetsTest, DictionaryAndVocabularyAreRequired) {
  const std::string config =
      R"({"config": {"dict_only": true, "ensemble_dict": false, "vocab_size": 5,
                     "hidden_dim": 4, "num_layers": 1})";
  EXPECT_EQ(assets_error(config + R"(, "vocab": {"_unit2id": {}}})"),
            "missing JSON key 'expansion_dict' at assets");
  EXPECT_EQ(assets_error(config + R"(, "expansion_dict": {"du": ["de", "le"]},
                                     "vocab": {"_unit2id": {}}})"),
            "expected JSON string at assets.expansion_dict");
  EXPECT_EQ(assets_error(config + R"(, "expansion_dict": {}, "vocab": {}})"),
            "missing JSON key '_unit2id' at assets.vocab");
  EXPECT_EQ(assets_error(config + R"(, "expansion_dict": {}, "vocab": {"_unit2id": []}})"),
            "expected JSON object at assets.vocab._unit2id");
  EXPECT_EQ(assets_error(config + R"(, "expansion_dict": {}, "vocab": {"_unit2id": {"a": "4"}}})"),
            "expected JSON integer at assets.vocab._unit2id");
  EXPECT_NE(assets_error("{").find("at JSON byte"), std::string::npos);
}

TEST_F(MWTAssetsTest, NativeDimensionsAreChecked) {
  // The tiny native bundle has one layer of width 4.
  auto native = [](const std::string& dimensions) {
    return with_config(R"("dict_only": false, "ensemble_dict": false,
                          "force_exact_pieces": true, "vocab_size": 23, )" +
                       dimensions);
  };
  EXPECT_EQ(assets_error(native(R"("hidden_dim": 4, "num_layers": 1)"), "mwt_tied"), "<loaded>");
  EXPECT_EQ(assets_error(native(R"("hidden_dim": 4, "num_layers": 0)"), "mwt_tied"),
            "invalid MWT dimensions in assets.config");
  EXPECT_EQ(assets_error(native(R"("hidden_dim": 1, "num_layers": 1)"), "mwt_tied"),
            "invalid MWT dimensions in assets.config");
  EXPECT_EQ(assets_error(native(R"("hidden_dim": 6, "num_layers": 1)"), "mwt_tied"),
            "MWT tensor does not fit the model: 'encoder.weight_ih_l0'");
  EXPECT_EQ(assets_error(native(R"("hidden_dim": 4, "num_layers": 2)"), "mwt_tied"),
            "missing MWT tensor: 'encoder.weight_ih_l1'");
  // Sizes that would allocate without bound or overflow are refused before
  // anything is allocated or listed.
  EXPECT_EQ(assets_error(native(R"("hidden_dim": 4294967294, "num_layers": 1)"), "mwt_tied"),
            "MWT tensor does not fit the model: 'encoder.weight_ih_l0'");
  EXPECT_EQ(
      assets_error(native(R"("hidden_dim": 9223372036854775806, "num_layers": 1)"), "mwt_tied"),
      "MWT tensor does not fit the model: 'encoder.weight_ih_l0'");
  EXPECT_EQ(
      assets_error(native(R"("hidden_dim": 4, "num_layers": 4611686018427387904)"), "mwt_tied"),
      "missing MWT tensor: 'encoder.weight_ih_l4611686018427387903'");
  // Every vocabulary id must be a row of the embedding.
  std::string beyond = native(R"("hidden_dim": 4, "num_layers": 1)");
  beyond.replace(beyond.find("\"a\": 4"), 6, "\"a\": 23");
  EXPECT_EQ(assets_error(beyond, "mwt_tied"),
            "MWT tensor does not fit the model: 'embedding.weight'");
}

TEST(MWTLoadTest, ModesFollowTheFlags) {
  const MWTPlan::Impl dictionary(bundle("mwt_dict"), false);
  EXPECT_EQ(dictionary.seq2seq, nullptr);
  EXPECT_TRUE(dictionary.tensors.empty());

  const MWTPlan::Impl native(bundle("mwt_native"), false);
  EXPECT_EQ(native.seq2seq, nullptr);
  EXPECT_EQ(native.lstm_weights.size(), 16U); // two layers, two directions
  // Every tensor of the bundle is bound, the unused int64 one too.
  ASSERT_EQ(native.tensors.count("training.steps"), 1U);
  EXPECT_EQ(native.tensors.at("training.steps").scalar_type(), at::kLong);
  EXPECT_EQ(native.initial_state.at(0).sizes(), (at::IntArrayRef{4, 1, 8}));

  const MWTPlan::Impl seq2seq(bundle("mwt_seq2seq"), false);
  EXPECT_NE(seq2seq.seq2seq, nullptr);
  EXPECT_TRUE(seq2seq.tensors.empty());
  // The expander's own vocabulary is read in every mode.
  EXPECT_EQ(seq2seq.unit_ids.at(" "), 22);

  EXPECT_EQ(load_error(bundle("mwt_seq2seq_no_units")),
            "missing JSON key '_unit2id' at assets.vocab");
}

TEST(MWTLoadTest, NativeModelRefusals) {
  EXPECT_EQ(load_error(bundle("mwt_as_lemma")), "expected an MWT bundle, got 'lemma'");
  // Only the native model inspects dtypes, of every tensor.
  EXPECT_EQ(load_error(bundle("mwt_native_float16")), "MWT tensor dtype is unsupported: float16");
  EXPECT_EQ(MWTPlan(bundle("mwt_dict_float16"), false).expand("du"), "de le");
  // The first missing tensor in layer order.
  EXPECT_EQ(load_error(bundle("mwt_missing")), "missing MWT tensor: 'encoder.bias_ih_l0_reverse'");
  EXPECT_EQ(load_error(bundle("mwt_bad_shape")),
            "MWT tensor does not fit the model: 'output_layer.0.weight'");
}

} // namespace
} // namespace velmora
