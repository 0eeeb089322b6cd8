// Loading "depparse" bundles: every refusal with its exact message, and the
// state a successful load leaves behind.

#include <gtest/gtest.h>

#include <velmora/depparse.hpp>
#include <velmora/json.hpp>
#include <velmora/model_bundle.hpp>

#include "depparse_test_support.hpp"

namespace velmora {
namespace {

using test::depparse_fixture;

TEST(DepparseLoad, EveryCaseLoadsOrFailsAsExpected) {
  test::expect_load_cases<DepparsePlan, DepparseModelError>(depparse_fixture(""),
                                                            "DepparseModelError", 70);
}

TEST(DepparseLoad, BundleErrorsPassUnchanged) {
  test::expect_bundle_error_passes<DepparsePlan, DepparseModelError>(
      depparse_fixture("cases/no-such-bundle"));
}

TEST(DepparseLoad, PlainVocabulariesSettingsAndLayers) {
  const DepparsePlan::Impl impl(depparse_fixture("models/plain_lin_dist_l2"), false);
  EXPECT_TRUE(impl.word_lower);
  EXPECT_FALSE(impl.lemma_lower);
  EXPECT_TRUE(impl.xpos_has_ignore);
  EXPECT_FALSE(impl.composite_xpos);
  EXPECT_TRUE(impl.linearization && impl.distance);
  EXPECT_FALSE(impl.use_charlm || impl.use_transformer);
  EXPECT_EQ(impl.batch_size, 1000);
  EXPECT_EQ(impl.deprel_labels.at(3), "<ROOT>");
  EXPECT_EQ(impl.deprel_labels.at(4), "acl");
  EXPECT_EQ(impl.feats_category_count, 5);
  EXPECT_EQ(impl.word_vocab.count("New York"), 1u);
  EXPECT_EQ(impl.pretrain_vocab.count("new\u00A0york"), 1u);

  ASSERT_EQ(impl.char_lstm_weights.size(), 4u);
  ASSERT_EQ(impl.char_lstm_init.size(), 2u);
  ASSERT_EQ(impl.parser_layers.size(), 2u);
  // Layer 1 starts from rows 2 and 3 of the stored states, viewed in place.
  const at::Tensor& c_init = impl.tensor("parserlstm_c_init");
  const ParserLayerWeights& second = impl.parser_layers[1];
  EXPECT_EQ(second.initial_state[1].sizes(), c_init.narrow(0, 2, 2).sizes());
  EXPECT_EQ(second.initial_state[1].const_data_ptr(), c_init.narrow(0, 2, 2).const_data_ptr());
  EXPECT_EQ(second.lstm[7].const_data_ptr(),
            impl.tensor("parserlstm.lstm.1.lstm.bias_hh_l0_reverse").const_data_ptr());
}

TEST(DepparseLoad, CompositeVocabulariesLanguageModelsAndDefaults) {
  const DepparsePlan::Impl impl(depparse_fixture("models/composite_charlm_lin_l1"), false);
  EXPECT_TRUE(impl.composite_xpos);
  EXPECT_TRUE(impl.lemma_lower);
  EXPECT_FALSE(impl.xpos_has_ignore);
  EXPECT_EQ(impl.xpos_separator, "");
  EXPECT_EQ(impl.xpos_component_vocabs.size(), 3u);
  EXPECT_TRUE(impl.xpos_vocab.empty());
  ASSERT_TRUE(impl.use_charlm && impl.charlm_forward && impl.charlm_backward);
  EXPECT_TRUE(impl.char_lstm_weights.empty() && impl.char_lstm_init.empty());
  EXPECT_EQ(impl.batch_size, 5000);

  // Eleven components keyed "0".."10": component k has k + 5 units.
  const DepparsePlan::Impl eleven(depparse_fixture("cases/composite_eleven"), false);
  ASSERT_EQ(eleven.xpos_component_vocabs.size(), 11u);
  for (std::size_t k = 0; k < 11; ++k) {
    EXPECT_EQ(eleven.xpos_component_vocabs[k].size(), k + 5);
  }
  const DepparsePlan::Impl empty_ignore(depparse_fixture("models/plain_l3_small_batches"), false);
  EXPECT_FALSE(empty_ignore.xpos_has_ignore);
  const DepparsePlan::Impl defaults(depparse_fixture("cases/batch_size_null"), false);
  EXPECT_EQ(defaults.batch_size, 5000);
  EXPECT_FALSE(defaults.word_lower || defaults.use_transformer);
  const DepparsePlan::Impl no_labels(depparse_fixture("cases/four_labels"), false);
  EXPECT_EQ(no_labels.tensor("deprel.scorer.W_bilin.bias").size(0), 0);
}

TEST(DepparseLoad, MovedPlanKeepsItsModel) {
  const std::vector<DepparseWord> words = {{"Hello", "hello", "INTJ", "UH", std::nullopt},
                                           {"world", std::nullopt, "NOUN", std::nullopt, "_"}};
  DepparsePlan first(depparse_fixture("models/plain_lin_dist_l2"), false);
  const std::vector<DepparsePrediction> before = first.parse(words);
  ASSERT_EQ(before.size(), 2u);
  DepparsePlan second(std::move(first));
  EXPECT_EQ(second.parse(words), before);
  DepparsePlan third(depparse_fixture("cases/valid"), false);
  third = std::move(second);
  EXPECT_EQ(third.parse(words), before);
  DepparsePlan& self = third;
  third = std::move(self);
  EXPECT_EQ(third.parse(words), before);
  EXPECT_EQ(third.bundle().processor(), "depparse");
}

} // namespace
} // namespace velmora
