// Loading "ner" bundles: every refusal with its exact message, the errors
// that pass unchanged, and the state a successful load leaves behind.

#include <gtest/gtest.h>

#include <velmora/json.hpp>
#include <velmora/model_bundle.hpp>
#include <velmora/ner.hpp>

#include "ner_test_support.hpp"
#include "taggers/ner_impl.hpp"

namespace velmora {
namespace {

using test::ner_fixture;

TEST(NERLoad, EveryCaseLoadsOrFailsAsExpected) {
  test::expect_load_cases<NERPlan, NERModelError>(ner_fixture(""), "NERModelError", 70);
}

TEST(NERLoad, EncoderAndBundleErrorsPassUnchanged) {
  test::expect_bundle_error_passes<NERPlan, NERModelError>(ner_fixture("cases/no-such-bundle"));
  EXPECT_THROW(NERPlan(ner_fixture("passing/charlm_mismatch"), false), CharLMModelError);
  EXPECT_EQ(test::message_of<TransformerError>(
                [] { NERPlan(ner_fixture("passing/transformer_backend"), false); }),
            "unsupported transformer runtime backend");
}

TEST(NERLoad, CharacterLstmVocabulariesAndLists) {
  const NERPlan::Impl impl(ner_fixture("models/charlstm2_transform_l2"), false);
  EXPECT_EQ(impl.bundle->processor(), "ner");
  EXPECT_TRUE(impl.lowercase && impl.char_lowercase && impl.word_lower && impl.input_transform);
  EXPECT_FALSE(impl.delta_lower || impl.connect_output_layers || impl.charlm ||
               impl.use_transformer);
  EXPECT_EQ(impl.char_num_layers, 2);
  EXPECT_EQ(impl.num_layers, 2);
  EXPECT_EQ(impl.word_vocab.count("new\u00A0york"), 1u);
  ASSERT_EQ(impl.tag_columns.size(), 1u);
  EXPECT_EQ(impl.tag_columns[0].at(4), "O");
  EXPECT_EQ(impl.tag_columns[0].at(5), "B-PER");

  // Eight tensors per layer, layer 0 forward, layer 0 reverse, layer 1 ...,
  // each the map's own view.
  ASSERT_EQ(impl.char_lstm_weights.size(), 16u);
  ASSERT_EQ(impl.tagger_lstm_weights.size(), 16u);
  EXPECT_EQ(impl.tagger_lstm_weights[7].const_data_ptr(),
            impl.tensor("taggerlstm.lstm.bias_hh_l0_reverse").const_data_ptr());
  EXPECT_EQ(impl.tagger_lstm_weights[8].const_data_ptr(),
            impl.tensor("taggerlstm.lstm.weight_ih_l1").const_data_ptr());
  EXPECT_EQ(impl.char_lstm_state[1].const_data_ptr(),
            impl.tensor("charmodel.charlstm_c_init").const_data_ptr());
  ASSERT_EQ(impl.tag_heads.size(), 1u);
  EXPECT_EQ(impl.tag_heads[0].transitions.const_data_ptr(),
            impl.tensor("crits.0._transitions").const_data_ptr());
  EXPECT_EQ(test::message_of<NERModelError>([&] { impl.tensor("crits.1._transitions"); }),
            "missing NER tensor: 'crits.1._transitions'");
}

TEST(NERLoad, LanguageModelsTransformerAndColumns) {
  const NERPlan::Impl charlm(ner_fixture("models/charlm_lower"), false);
  ASSERT_TRUE(charlm.charlm_forward && charlm.charlm_backward);
  EXPECT_TRUE(charlm.charlm_forward->is_forward());
  EXPECT_FALSE(charlm.charlm_backward->is_forward());
  EXPECT_TRUE(charlm.char_lstm_weights.empty() && charlm.char_lstm_state.empty());

  const NERPlan transformer(ner_fixture("models/transformer_transform"), true);
  EXPECT_TRUE(transformer.bundle().checksums_verified());

  // Heads for every column, whichever one is predicted.
  const NERPlan::Impl connected(ner_fixture("models/two_columns_connected"), false);
  EXPECT_TRUE(connected.connect_output_layers);
  EXPECT_EQ(connected.predict_tagset, 1);
  ASSERT_EQ(connected.tag_heads.size(), 2u);
  EXPECT_EQ(connected.tag_heads[1].weight.size(1),
            2 * connected.hidden_dim + static_cast<std::int64_t>(connected.tag_columns[0].size()));

  // "0" and "01" name columns 0 and 1; predict_tagset absent is 0.
  const NERPlan::Impl keyed(ner_fixture("cases/columns_leading_zero"), false);
  ASSERT_EQ(keyed.tag_columns.size(), 2u);
  EXPECT_EQ(keyed.tag_columns[1].at(5), "B-LOC");
  const NERPlan::Impl defaults(ner_fixture("cases/predict_tagset_absent"), false);
  EXPECT_EQ(defaults.predict_tagset, 0);

  const NERPlan::Impl cased(ner_fixture("models/case_sensitive"), false);
  EXPECT_FALSE(cased.lowercase);
  EXPECT_TRUE(cased.word_lower);
}

TEST(NERLoad, MovedPlanKeepsItsModel) {
  const std::vector<std::string> words = {"Paris", "is", "new"};
  NERPlan first(ner_fixture("models/charlstm_l1"), false);
  const std::vector<std::string> before = first.tag(words);
  NERPlan second(std::move(first));
  EXPECT_EQ(second.tag(words), before);
  NERPlan third(ner_fixture("cases/valid"), false);
  third = std::move(second);
  EXPECT_EQ(third.tag(words), before);
}

} // namespace
} // namespace velmora
