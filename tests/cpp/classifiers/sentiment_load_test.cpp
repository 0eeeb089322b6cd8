// Loading "sentiment" bundles: every refusal with its exact message, encoder
// errors that keep their own class, and the state a load leaves behind.

#include <gtest/gtest.h>

#include <velmora/sentiment.hpp>

#include "classifier_test_support.hpp"
#include "classifiers/sentiment_impl.hpp"

namespace velmora {
namespace {

using test::sentiment_fixture;

TEST(SentimentLoad, EveryCaseLoadsOrFailsAsExpected) {
  test::expect_load_cases<SentimentPlan, SentimentModelError>(sentiment_fixture(""),
                                                              "SentimentModelError", 75);
}

TEST(SentimentLoad, EncoderErrorsKeepTheirClass) {
  const detail::JsonValue cases = detail::load_json(sentiment_fixture("encoder_cases.json"));
  ASSERT_EQ(cases.as_array().size(), 3u);
  for (const auto& entry : cases.as_array()) {
    const std::string name = entry.at("name").as_string();
    const std::string error = entry.at("error").as_string();
    SCOPED_TRACE(name);
    const auto load = [&] { SentimentPlan plan(sentiment_fixture("cases/" + name), false); };
    try {
      load();
      ADD_FAILURE() << "loaded";
    } catch (const SentimentModelError& wrapped) {
      ADD_FAILURE() << "became the plan's own error: " << wrapped.what();
    } catch (const CharLMModelError& failure) {
      EXPECT_EQ(error, "CharLMModelError");
      EXPECT_EQ(failure.what(), entry.at("message").as_string());
    } catch (const ModelBundleError& failure) {
      EXPECT_EQ(error, "ModelBundleError");
      EXPECT_EQ(failure.what(), entry.at("message").as_string());
    } catch (const TransformerError& failure) {
      EXPECT_EQ(error, "TransformerError");
      EXPECT_EQ(failure.what(), entry.at("message").as_string());
    }
  }
  test::expect_bundle_error_passes<SentimentPlan, SentimentModelError>(
      sentiment_fixture("cases/no-such-bundle"));
}

TEST(SentimentLoad, FiltersVocabulariesAndRecurrentWeights) {
  const SentimentPlan::Impl impl(sentiment_fixture("models/sum_bilstm"), false);
  EXPECT_EQ(impl.extra_wordvec_method, "SUM");
  EXPECT_FALSE(impl.lower);
  ASSERT_EQ(impl.filters.size(), 2u);
  EXPECT_EQ(impl.filters[0].height, 3);
  EXPECT_FALSE(impl.filters[0].width);
  EXPECT_EQ(impl.filters[1].height, 2);
  EXPECT_EQ(impl.filters[1].width, 4);
  // A 2-D filter counts by its width here.
  EXPECT_EQ(impl.min_batch_length, 4);
  EXPECT_EQ(impl.tallest_2d_filter, 2);
  EXPECT_EQ(impl.fc_layer_count, 3);
  EXPECT_EQ(impl.labels, (std::vector<std::string>{"negative", "neutral", "positive"}));
  ASSERT_EQ(impl.bilstm_weights.size(), 16u);
  EXPECT_EQ(impl.bilstm_weights[5].const_data_ptr(),
            impl.tensor("bilstm.weight_hh_l0_reverse").const_data_ptr());
  EXPECT_EQ(impl.bilstm_weights[15].const_data_ptr(),
            impl.tensor("bilstm.bias_hh_l1_reverse").const_data_ptr());
  EXPECT_FALSE(impl.forward_charlm || impl.backward_charlm || impl.transformer);

  const SentimentPlan::Impl tall(sentiment_fixture("models/backward_raw_tall"), false);
  EXPECT_EQ(tall.min_batch_length, 2);
  EXPECT_EQ(tall.tallest_2d_filter, 5);
  ASSERT_TRUE(tall.backward_charlm);
  EXPECT_FALSE(tall.forward_charlm);

  // A repeated extra string keeps its first index.
  const SentimentPlan::Impl concat(sentiment_fixture("models/concat_forward_projected"), false);
  EXPECT_EQ(concat.extra_vocab.size(), 6u);
  EXPECT_EQ(concat.extra_vocab.at("good"), 2);
  EXPECT_EQ(concat.charlm_projection, 3);
  EXPECT_TRUE(concat.bilstm_weights.empty());
}

TEST(SentimentLoad, MovedPlanKeepsItsModel) {
  SentimentPlan first(sentiment_fixture("models/plain"), true);
  EXPECT_TRUE(first.bundle().checksums_verified());
  const std::vector<std::vector<std::string>> sentences = {{"a", "good", "day"}, {"bad"}};
  const std::vector<std::int64_t> before = first.classify_many(sentences, 5000);
  SentimentPlan second(std::move(first));
  EXPECT_EQ(second.classify_many(sentences, 5000), before);
  SentimentPlan third(sentiment_fixture("cases/valid"), false);
  third = std::move(second);
  EXPECT_EQ(third.classify_many(sentences, 5000), before);
}

} // namespace
} // namespace velmora
