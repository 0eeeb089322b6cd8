// Loading "pos" bundles: every refusal with its exact message, and the state a
// successful load leaves behind.

#include <gtest/gtest.h>

#include <velmora/json.hpp>
#include <velmora/model_bundle.hpp>
#include <velmora/pos.hpp>

#include "pos_test_support.hpp"
#include "taggers/pos_impl.hpp"

namespace velmora {
namespace {

using test::pos_fixture;

TEST(POSLoad, EveryCaseLoadsOrFailsAsExpected) {
  test::expect_load_cases<POSPlan, POSModelError>(pos_fixture(""), "POSModelError", 50);
}

TEST(POSLoad, BundleErrorsPassUnchanged) {
  test::expect_bundle_error_passes<POSPlan, POSModelError>(pos_fixture("cases/no-such-bundle"));
}

TEST(POSLoad, PlainVocabulariesSettingsAndLayers) {
  const POSPlan::Impl impl(pos_fixture("models/plain_ignore_l2"), false);
  EXPECT_EQ(impl.bundle->processor(), "pos");
  EXPECT_TRUE(impl.word_lower);
  EXPECT_TRUE(impl.xpos_has_ignore);
  EXPECT_FALSE(impl.composite_xpos);
  EXPECT_FALSE(impl.use_charlm);
  EXPECT_FALSE(impl.use_transformer);
  EXPECT_EQ(impl.batch_size, 16);
  EXPECT_EQ(impl.batch_maximum_tokens, 200);
  EXPECT_EQ(impl.xpos_labels.at(4), "NN");
  EXPECT_TRUE(impl.xpos_component_labels.empty());
  EXPECT_EQ(impl.word_vocab.at("the"), 4);
  EXPECT_EQ(impl.word_vocab.count("i"), 1u); // lower-cased keys
  EXPECT_EQ(impl.word_vocab.count("York"), 0u);
  EXPECT_EQ(impl.pretrain_vocab.count("new\u00A0york"), 1u);

  // Feature columns in byte order of their keys.
  std::vector<std::string> keys;
  for (const FeatsColumn& column : impl.feats_columns) {
    keys.push_back(column.key);
  }
  EXPECT_EQ(keys,
            (std::vector<std::string>{"Definite", "Mood", "NumType", "Number", "Person", "Tense"}));
  EXPECT_EQ(impl.feats_columns[3].values.at(5), "Plur");

  ASSERT_EQ(impl.char_lstm_weights.size(), 4u);
  ASSERT_EQ(impl.char_lstm_init.size(), 2u);
  ASSERT_EQ(impl.tagger_layers.size(), 2u);
  // Layer 1 starts from rows 2 and 3 of the stored states, viewed in place.
  const at::Tensor& h_init = impl.tensor("taggerlstm_h_init");
  const TaggerLayerWeights& second = impl.tagger_layers[1];
  EXPECT_EQ(second.initial_state[0].sizes(), h_init.narrow(0, 2, 2).sizes());
  EXPECT_EQ(second.initial_state[0].const_data_ptr(), h_init.narrow(0, 2, 2).const_data_ptr());
  EXPECT_EQ(second.lstm[5].const_data_ptr(),
            impl.tensor("taggerlstm.lstm.1.lstm.weight_hh_l0_reverse").const_data_ptr());
  EXPECT_EQ(second.gate_bias.const_data_ptr(),
            impl.tensor("taggerlstm.gate.1.bias").const_data_ptr());
}

TEST(POSLoad, CompositeVocabulariesAndLanguageModels) {
  const POSPlan::Impl impl(pos_fixture("models/composite_charlm_proj_l2"), false);
  EXPECT_TRUE(impl.composite_xpos);
  EXPECT_FALSE(impl.xpos_has_ignore);
  EXPECT_TRUE(impl.xpos_labels.empty());
  EXPECT_EQ(impl.xpos_separator, "+");
  ASSERT_EQ(impl.xpos_component_labels.size(), 3u);
  EXPECT_EQ(impl.xpos_component_labels[1].at(4), "Sing");
  EXPECT_TRUE(impl.use_charlm);
  ASSERT_TRUE(impl.charlm_forward && impl.charlm_backward);
  EXPECT_TRUE(impl.charlm_forward->is_forward());
  EXPECT_FALSE(impl.charlm_backward->is_forward());
  EXPECT_EQ(impl.charlm_transform_dim, 3);
  EXPECT_TRUE(impl.char_lstm_weights.empty());
  EXPECT_TRUE(impl.char_lstm_init.empty());
  EXPECT_FALSE(impl.transformer);

  // Eleven components keyed "0".."10" come back in numeric order.
  const POSPlan::Impl eleven(pos_fixture("cases/composite_eleven"), false);
  ASSERT_EQ(eleven.xpos_component_labels.size(), 11u);
  for (std::size_t k = 0; k < 11; ++k) {
    EXPECT_EQ(eleven.xpos_component_labels[k].back(), "u" + std::to_string(k));
  }
  // Defaults of the batch bounds, and a null bert_model reads no transformer.
  const POSPlan::Impl defaults(pos_fixture("cases/bert_null"), false);
  EXPECT_EQ(defaults.batch_size, 250);
  EXPECT_EQ(defaults.batch_maximum_tokens, 5000);
  EXPECT_FALSE(defaults.use_transformer);
  EXPECT_FALSE(defaults.word_lower);
}

TEST(POSLoad, TransformerBundle) {
  const POSPlan plan(pos_fixture("models/transformer_l1"), true);
  EXPECT_TRUE(plan.bundle().checksums_verified());
  const POSPlan::Impl impl(pos_fixture("models/transformer_l1"), false);
  ASSERT_TRUE(impl.use_transformer && impl.transformer);
  EXPECT_EQ(impl.tensor("taggerlstm.lstm.0.lstm.weight_ih_l0").size(1),
            impl.word_emb_dim + 2 * impl.transformed_dim + impl.transformer->hidden_size());
}

TEST(POSLoad, MovedPlanKeepsItsModel) {
  POSPlan first(pos_fixture("models/plain_l1"), false);
  const std::vector<POSTags> before = first.tag({"Hello", "world"});
  POSPlan second(std::move(first));
  EXPECT_EQ(second.tag({"Hello", "world"}), before);
  POSPlan third(pos_fixture("cases/valid"), false);
  third = std::move(second);
  EXPECT_EQ(third.tag({"Hello", "world"}), before);
}

} // namespace
} // namespace velmora
