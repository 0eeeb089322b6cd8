// The steps of the coreference model on their edge cases: windows, distance
// buckets, clusters, resolve()'s checks, the word encoding, settings that
// must not change a prediction, and concurrent calls.

#include <thread>

#include <ATen/TensorOperators.h>
#include <c10/core/InferenceMode.h>
#include <gtest/gtest.h>

#include "coref/coref_impl.hpp"
#include "coref_test_support.hpp"

namespace velmora {
namespace {

using test::coref_fixture;
using Windows = std::vector<std::pair<std::int64_t, std::int64_t>>;

TEST(CorefModel, WindowsEndAtSentenceChangesWhereTheyCan) {
  EXPECT_EQ(detail::coref_windows({0, 0, 1, 1, 1}, 3), (Windows{{0, 2}, {2, 5}}));
  EXPECT_EQ(detail::coref_windows({4, 4, 4, 4, 4, 4, 4}, 3), (Windows{{0, 3}, {3, 6}, {6, 7}}));
  EXPECT_EQ(detail::coref_windows({0, 1, 2}, 3), (Windows{{0, 3}}));
  // Sentence ids are compared by value only.
  EXPECT_EQ(detail::coref_windows({5, 2, 2, 2, 5}, 3), (Windows{{0, 1}, {1, 4}, {4, 5}}));
}

TEST(CorefModel, DistanceBuckets) {
  const std::vector<std::pair<std::int64_t, std::int64_t>> cases = {
      {-3, 0}, {0, 0}, {1, 0}, {4, 3}, {5, 4}, {7, 4}, {8, 5}, {63, 7}, {64, 8}, {1000, 8}};
  for (const auto& [distance, bucket] : cases) {
    EXPECT_EQ(detail::coref_distance_bucket(distance), bucket) << distance;
  }
}

TEST(CorefModel, ClustersFromLinks) {
  using Clusters = std::vector<std::vector<std::size_t>>;
  EXPECT_EQ(detail::coref_link_clusters({-1, -1, 0, 2, -1}, {}), (Clusters{{0, 2, 3}}));
  EXPECT_EQ(detail::coref_link_clusters({-1, -1, -1, 0, -1, 1}, {}), (Clusters{{0, 3}, {1, 5}}));
  // Words may stand alone only when they have no link at all.
  EXPECT_EQ(detail::coref_link_clusters({-1, -1, 0, -1}, {true, true, true, false}),
            (Clusters{{0, 2}, {1}}));
}

TEST(CorefModel, ResolveChecksItsArguments) {
  const CorefPlan plan(coref_fixture("models/bpe_all"), false);
  const std::vector<std::string> words = {"I", "saw", "her"};
  EXPECT_EQ(test::message_of<std::invalid_argument>([&] {
              plan.resolve(words, {0, 0}, {});
            }),
            "coref words and sentence ids must have equal lengths");
  EXPECT_EQ(test::message_of<std::invalid_argument>([&] {
              plan.resolve(words, {0, 0, 0}, {"a", "b"});
            }),
            "coref words and speakers must have equal lengths");
  EXPECT_EQ(test::message_of<std::invalid_argument>([&] {
              plan.resolve(words, {0, 0, 3}, {});
            }),
            "coref sentence id is outside the document");
  // Only the bound is checked: sentence 1 may be empty.
  EXPECT_NO_THROW(plan.resolve(words, {0, 0, 2}, {}));
  // No speakers means "_" for every word.
  EXPECT_TRUE(test::same_prediction(plan.resolve(words, {0, 0, 1}, {}),
                                    plan.resolve(words, {0, 0, 1}, {"_", "_", "_"})));
  const CorefPrediction none = plan.resolve({}, {}, {});
  EXPECT_TRUE(none.word_clusters.empty() && none.span_clusters.empty() && none.zero_words.empty());
  // A word the tokenizer reads as nothing stands in as unknown; one the
  // bundle lists with no ids is refused.
  EXPECT_NO_THROW(plan.resolve({"a", "", "b"}, {0, 0, 0}, {}));
  EXPECT_EQ(test::message_of<CorefModelError>([&] {
              plan.resolve({"a", "b", "c", "d", "<blank>", "e"}, {0, 0, 0, 0, 0, 0}, {});
            }),
            "coref tokenizer produced a blank word at index 4");
}

TEST(CorefModel, ListedIdsAndOneRowPerWord) {
  const CorefPlan::Impl impl(coref_fixture("models/bpe_all"), false);
  c10::InferenceMode guard;
  const std::vector<std::string> words = {"Unbelievably", "the", "committee", "waited"};
  const detail::CorefSubwordEncoding encoding =
      detail::coref_subword_vectors(impl, words, {0, 0, 0, 1});
  // The listed words contribute exactly their ids: one for "Unbelievably",
  // two for "the", whatever the tokenizer would do.
  ASSERT_EQ(encoding.word_ranges.size(), 4u);
  EXPECT_EQ(encoding.word_ranges[0], (std::pair<std::int64_t, std::int64_t>{0, 1}));
  EXPECT_EQ(encoding.word_ranges[1], (std::pair<std::int64_t, std::int64_t>{1, 3}));
  EXPECT_EQ(encoding.vectors.size(0), encoding.word_ranges.back().second);
  const at::Tensor vectors = detail::coref_word_vectors(impl, encoding);
  ASSERT_EQ(vectors.sizes(), (std::vector<std::int64_t>{4, 16}));
  // A word of one subword gets exactly that subword's vector.
  EXPECT_TRUE(vectors[0].equal(encoding.vectors[0]));
}

// The words, sentence ids and speakers of one fixture document.
test::ResolveInputs corpus_document(std::size_t index) {
  return test::resolve_inputs(test::coref_reference().at("documents").as_array().at(index), false);
}

TEST(CorefModel, BatchSizeAndSpeakersLeaveThePredictionAlone) {
  CorefPlan::Impl impl(coref_fixture("models/wordpiece_base"), false);
  const test::ResolveInputs in = corpus_document(7);
  const CorefPrediction expected =
      detail::coref_predict(impl, in.words, in.sentence_ids, in.speakers);
  ASSERT_FALSE(expected.word_clusters.empty());
  for (const std::int64_t batch : {std::int64_t{1}, std::int64_t{10000}}) {
    impl.a_scoring_batch_size = batch;
    EXPECT_TRUE(test::same_prediction(
        detail::coref_predict(impl, in.words, in.sentence_ids, in.speakers), expected));
  }
  // Without full_pairwise the speakers are not read.
  std::vector<std::string> speakers(in.words.size(), "x");
  speakers[3] = "y";
  EXPECT_TRUE(test::same_prediction(
      detail::coref_predict(impl, in.words, in.sentence_ids, speakers), expected));
}

TEST(CorefModel, StartScoresDecideWhichUnlinkedWordsStandAlone) {
  // The fixture's start map makes every word without links stand alone;
  // negated, it keeps them all out and leaves the linked clusters as they
  // are.
  CorefPlan::Impl impl(coref_fixture("models/wordpiece_singletons"), false);
  const test::ResolveInputs in = corpus_document(2);
  const CorefPrediction alone = detail::coref_predict(impl, in.words, in.sentence_ids, in.speakers);
  std::size_t covered = 0;
  std::vector<std::vector<std::size_t>> linked;
  for (const auto& cluster : alone.word_clusters) {
    covered += cluster.size();
    if (cluster.size() > 1) {
      linked.push_back(cluster);
    }
  }
  EXPECT_EQ(covered, in.words.size());
  ASSERT_FALSE(linked.empty());
  ASSERT_LT(linked.size(), alone.word_clusters.size());

  at::Tensor& start_map = impl.tensors.at("a_scorer.start_map.weight");
  start_map = -start_map;
  EXPECT_EQ(detail::coref_predict(impl, in.words, in.sentence_ids, in.speakers).word_clusters,
            linked);
}

TEST(CorefModel, ConcurrentResolveCallsAgree) {
  const CorefPlan plan(coref_fixture("models/xlmr_zeros"), false);
  const test::ResolveInputs in = corpus_document(5);
  const CorefPrediction expected = plan.resolve(in.words, in.sentence_ids, in.speakers);
  std::vector<CorefPrediction> results(4);
  std::vector<std::thread> threads;
  for (CorefPrediction& result : results) {
    threads.emplace_back([&] { result = plan.resolve(in.words, in.sentence_ids, in.speakers); });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  for (const CorefPrediction& result : results) {
    EXPECT_TRUE(test::same_prediction(result, expected));
  }
}

} // namespace
} // namespace velmora
