#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include <velmora/tokenizer.hpp>

#include "tokenize/tokenizer_impl.hpp"
#include "tokenizer_test_support.hpp"

namespace velmora {
namespace {

using Edits = std::vector<std::pair<std::string, std::string>>;

// The message of the TokenizerModelError a load fails with, or "loaded".
std::string load_error(const std::filesystem::path& path) {
  try {
    TokenizerPlan plan(path, false);
  } catch (const TokenizerModelError& error) {
    return error.what();
  }
  return "loaded";
}

class TokenizerLoader : public ::testing::Test {
protected:
  std::string edited_error(const Edits& edits) {
    return load_error(test::edited_bundle(dir_, "cases/valid", edits));
  }
  TokenizerPlan::Impl edited_impl(const Edits& edits) {
    return TokenizerPlan::Impl(test::edited_bundle(dir_, "cases/valid", edits), false);
  }
  test::TempDir dir_;
};

TEST_F(TokenizerLoader, ReadsConfigurationAndWeights) {
  TokenizerPlan::Impl impl(test::tokenizer_bundle("mwt_gated"), true);
  EXPECT_EQ(impl.batch_size, 4);
  EXPECT_TRUE(impl.use_mwt);
  EXPECT_DOUBLE_EQ(impl.hier_invtemp, 0.5);
  EXPECT_EQ(impl.feat_funcs.size(), 9u);
  EXPECT_EQ(impl.unit2id.at("<PAD>"), impl.pad_id);
  EXPECT_EQ(impl.rnn_weights.size(), 8u);
  EXPECT_TRUE(impl.rnn2_weights[7].equal(impl.weight("rnn2.bias_hh_l0_reverse")));
  // Weights view the mapped file; only the initial states are allocated.
  EXPECT_EQ(impl.weight("tok_clf.weight").data_ptr(),
            static_cast<const void*>(impl.bundle->tensor_data("tok_clf.weight")));
  EXPECT_EQ(impl.initial_state[1].sizes(), (c10::IntArrayRef{2, 1, 10}));
  EXPECT_THROW(
      {
        try {
          impl.weight("nope");
        } catch (const TokenizerModelError& error) {
          EXPECT_STREQ(error.what(), "missing tokenizer weight: 'nope'");
          throw;
        }
      },
      TokenizerModelError);

  TokenizerPlan::Impl plain(test::tokenizer_bundle("dict_plain"), false);
  EXPECT_DOUBLE_EQ(plain.hier_invtemp, 0.0); // written as the integer 0
  EXPECT_FALSE(plain.use_mwt);
  EXPECT_EQ(plain.num_dict_feat, 4);
}

TEST_F(TokenizerLoader, BatchSizeDefaultsOnlyWhenAbsent) {
  EXPECT_EQ(edited_impl({{"\"batch_size\": 4,", ""}}).batch_size, 32);
  EXPECT_EQ(edited_impl({{"\"batch_size\": 4", "\"batch_size\": 1"}}).batch_size, 1);
  EXPECT_EQ(edited_error({{"\"batch_size\": 4", "\"batch_size\": 0"}}),
            "tokenizer batch size must be positive");
  EXPECT_EQ(edited_error({{"\"batch_size\": 4", "\"batch_size\": -3"}}),
            "tokenizer batch size must be positive");
  EXPECT_EQ(edited_error({{"\"batch_size\": 4", "\"batch_size\": null"}}),
            "expected JSON integer at assets.config.batch_size");
  EXPECT_EQ(edited_error({{"\"batch_size\": 4", "\"batch_size\": 32.0"}}),
            "expected JSON integer at assets.config.batch_size");
}

TEST_F(TokenizerLoader, RefusesUnsupportedArchitectures) {
  const std::string charlm = "character-LM tokenizers are not supported by this profile";
  const std::string conv = "convolutional residual tokenizers are not supported";
  const std::string profile = "this tokenizer profile requires a one-layer hierarchical model";
  EXPECT_EQ(edited_error({{"\"lang\"", "\"charlm_forward_file\": null, \"lang\""}}), "loaded");
  EXPECT_EQ(edited_error({{"\"lang\"", "\"conv_res\": null, \"lang\""}}), "loaded");
  EXPECT_EQ(edited_error({{"\"lang\"", "\"charlm_forward_file\": \"x.pt\", \"lang\""}}), charlm);
  EXPECT_EQ(edited_error({{"\"lang\"", "\"charlm_forward_file\": false, \"lang\""}}), charlm);
  EXPECT_EQ(edited_error({{"\"lang\"", "\"conv_res\": 0, \"lang\""}}), conv);
  EXPECT_EQ(edited_error({{"\"rnn_layers\": 1", "\"rnn_layers\": 2"}}), profile);
  EXPECT_EQ(edited_error({{"\"hierarchical\": true", "\"hierarchical\": false"}}), profile);
  // Checks run in loading order: the batch size before the profile.
  EXPECT_EQ(edited_error({{"\"rnn_layers\": 1", "\"rnn_layers\": 2"},
                          {"\"batch_size\": 4", "\"batch_size\": 0"}}),
            "tokenizer batch size must be positive");
}

TEST_F(TokenizerLoader, ReportsMissingKeysAndWrongTypes) {
  EXPECT_EQ(edited_error({{"\"emb_dim\": 2,", ""}}), "missing JSON key 'emb_dim' at assets.config");
  EXPECT_EQ(edited_error({{"\"lang\": \"en\"", "\"lang\": 5"}}), "expected JSON string");
  EXPECT_EQ(edited_error({{"\"use_mwt\": true", "\"use_mwt\": 1"}}), "expected JSON boolean");
  EXPECT_EQ(edited_error({{"\"lang\"", "\"use_dictionary\": null, \"lang\""}}),
            "expected JSON boolean");
  EXPECT_NE(edited_error({{"\"config\"", "\"broken\": [1,], \"config\""}}).find(" at JSON byte "),
            std::string::npos);
}

TEST_F(TokenizerLoader, DictionaryIsReadOnlyWhenUsed) {
  // Malformed dictionary settings are ignored while the dictionary is off.
  EXPECT_EQ(edited_error({{"\"lang\"", "\"num_dict_feat\": \"x\", \"lang\""},
                          {"\"vocab\"", "\"lexicon\": 7, \"vocab\""}}),
            "loaded");
  const std::string on = "\"use_dictionary\": true, \"num_dict_feat\": 1, \"lang\"";
  EXPECT_EQ(edited_error({{"\"lang\"", "\"use_dictionary\": true, \"num_dict_feat\": 0, \"lang\""},
                          {"\"vocab\"", "\"lexicon\": [], \"vocab\""}}),
            "dictionary tokenizer feature window must be positive");
  EXPECT_EQ(edited_error({{"\"lang\"", on}}), "missing JSON key 'lexicon' at assets");
  EXPECT_EQ(edited_error({{"\"lang\"", on}, {"\"vocab\"", "\"lexicon\": [\"ab\", 3], \"vocab\""}}),
            "expected JSON string at assets.lexicon[]");

  TokenizerPlan::Impl impl = edited_impl(
      {{"\"lang\"", on},
       {"\"vocab\"", "\"lexicon\": [\"a\", \"ab\", \"abc\", \"\", \"ñé\"], \"vocab\""}});
  using Set = std::unordered_set<std::string>;
  EXPECT_EQ(impl.lexicon, (Set{"ab", "abc", "ñé"}));
  EXPECT_EQ(impl.lexicon_prefixes, (Set{"a", "ab", "ñ"}));
  EXPECT_EQ(impl.lexicon_suffixes, (Set{"b", "c", "bc", "é"}));
}

TEST_F(TokenizerLoader, ChecksFeatureNamesAndVocabulary) {
  const std::string funcs = "\"feat_funcs\": [\n   \"space_before\"\n  ]";
  EXPECT_EQ(edited_error({{funcs, "\"feat_funcs\": [\"space_before\", \"numeric\"]"}}), "loaded");
  EXPECT_EQ(edited_error({{funcs, "\"feat_funcs\": []"}}), "loaded");
  EXPECT_EQ(edited_error({{funcs, "\"feat_funcs\": [\"numeric\", \"emoji\", \"bogus\"]"}}),
            "unsupported tokenizer feature: emoji");
  EXPECT_EQ(edited_error({{"\"<UNK>\": 1", "\"<UNKNOWN>\": 1"}}),
            "tokenizer vocabulary lacks <PAD> or <UNK>");
}

// Configured sizes and vocabulary ids must be those of the weights: a width
// of 2^31 - 1 would otherwise allocate without bound at the first call, and a
// bad id or shape fail deep inside the tensor library.
TEST_F(TokenizerLoader, ChecksConfigurationAndVocabularyAgainstTheWeights) {
  const auto disagrees = [](const std::string& name) {
    return "tokenizer config disagrees with tensor '" + name + "'";
  };
  EXPECT_EQ(edited_error({{"\"hidden_dim\": 2", "\"hidden_dim\": 2147483647"}}),
            disagrees("rnn.weight_ih_l0"));
  EXPECT_EQ(edited_error({{"\"emb_dim\": 2", "\"emb_dim\": 3"}}), disagrees("embeddings.weight"));
  EXPECT_EQ(edited_error({{"\"feat_dim\": 1", "\"feat_dim\": 9223372036854775807"}}),
            disagrees("rnn.weight_ih_l0"));
  const std::string shape = "\"shape\": [\n    112,\n    2\n   ]";
  EXPECT_EQ(load_error(test::edited_bundle(dir_, "cases/valid",
                                           {{shape, "\"shape\": [\n    2,\n    112\n   ]"}},
                                           "manifest.json")),
            disagrees("embeddings.weight"));
  const std::string vocabulary = "tokenizer vocabulary disagrees with tensor 'embeddings.weight'";
  EXPECT_EQ(edited_error({{"\"<UNK>\": 1", "\"<UNK>\": -7"}}), vocabulary);
  EXPECT_EQ(edited_error({{"\"<UNK>\": 1", "\"<UNK>\": 112"}}), vocabulary);
  EXPECT_EQ(edited_error({{"\"<UNK>\": 1", "\"<UNK>\": 111"}}), "loaded");
}

TEST_F(TokenizerLoader, ChecksTensors) {
  EXPECT_EQ(load_error(test::tokenizer_bundle("cases/valid")), "loaded");
  EXPECT_EQ(load_error(test::tokenizer_bundle("cases/missing_mwt")),
            "tokenizer bundle lacks required tensor: 'mwt_clf.bias'");
  EXPECT_EQ(load_error(test::tokenizer_bundle("cases/missing_mwt_unused")), "loaded");
  EXPECT_EQ(load_error(test::tokenizer_bundle("cases/missing_rnn2")),
            "tokenizer bundle lacks required tensor: 'rnn2.bias_hh_l0_reverse'");
  EXPECT_EQ(load_error(test::tokenizer_bundle("cases/int64_extra")),
            "the native tokenizer currently requires float32 weights");
  EXPECT_EQ(load_error(test::tokenizer_bundle("cases/float16")),
            "the native tokenizer currently requires float32 weights");
}

TEST_F(TokenizerLoader, ChecksTheProcessorBeforeTheAssets) {
  EXPECT_EQ(load_error(test::tokenizer_bundle("cases/processor_mwt")),
            "expected a tokenize bundle, got 'mwt'");
  // Opening errors stay bundle errors.
  try {
    TokenizerPlan plan(dir_.path() / "absent", false);
    FAIL() << "loaded a missing bundle";
  } catch (const TokenizerModelError&) {
    FAIL() << "a bundle error became a tokenizer error";
  } catch (const ModelBundleError&) {
  }
}

TEST_F(TokenizerLoader, MovedFromPlansOnlyRelease) {
  TokenizerPlan plan(test::tokenizer_bundle("cases/valid"), false);
  TokenizerPlan moved(std::move(plan));
  EXPECT_EQ(moved.bundle().processor(), "tokenize");
  plan = std::move(moved);
  EXPECT_EQ(plan.bundle().language(), "en");
}

} // namespace
} // namespace velmora
