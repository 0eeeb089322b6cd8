// Batching: length-sorted batch bounds, punctuation normalisation, batched
// against single-sentence encoding, and the consistency checks of the batched
// heads.

#include <ATen/ATen.h>
#include <c10/core/InferenceMode.h>
#include <gtest/gtest.h>

#include <velmora/json.hpp>

#include "encoders/bulk_slices.hpp"
#include "pos_test_support.hpp"
#include "taggers/pos_impl.hpp"

namespace velmora {
namespace {

using detail::BatchRange;
using test::pos_fixture;

std::vector<std::pair<std::size_t, std::size_t>> ranges(const std::vector<BatchRange>& batches) {
  std::vector<std::pair<std::size_t, std::size_t>> out;
  for (const BatchRange& batch : batches) {
    out.emplace_back(batch.begin, batch.end);
  }
  return out;
}

using Ranges = std::vector<std::pair<std::size_t, std::size_t>>;

TEST(SentenceBatches, CountAndPaddedBounds) {
  EXPECT_EQ(ranges(detail::plan_length_batches(std::vector<std::int64_t>(251, 1), 250, 5000)),
            (Ranges{{0, 250}, {250, 251}}));
  EXPECT_EQ(ranges(detail::plan_length_batches({3000, 10, 10}, 250, 5000)),
            (Ranges{{0, 1}, {1, 3}}));
  EXPECT_EQ(ranges(detail::plan_length_batches({6000}, 250, 5000)), (Ranges{{0, 1}}));
  EXPECT_EQ(ranges(detail::plan_length_batches({20, 20, 5}, 250, 40)), (Ranges{{0, 2}, {2, 3}}));
  EXPECT_TRUE(detail::plan_length_batches({}, 250, 5000).empty());
  // Without a count bound only padded rows count: 49 x 101 <= 5000 < 50 x 101.
  const auto rows =
      detail::plan_length_batches(std::vector<std::int64_t>(100, 101), INT64_MAX, 5000);
  EXPECT_EQ(ranges(rows).front(), (std::pair<std::size_t, std::size_t>{0, 49}));
  EXPECT_EQ(ranges(detail::plan_length_batches({6, 2, 2}, INT64_MAX, 10)),
            (Ranges{{0, 1}, {1, 3}}));
}

TEST(SentenceBatches, LongestFirstIsStableAndSkipsEmpty) {
  EXPECT_EQ(detail::longest_first({2, 0, 5, 2, 5, 1}), (std::vector<std::size_t>{2, 4, 0, 3, 5}));
  // Chunks name sentences by input index, longest first, empty ones nowhere.
  const auto chunks = detail::plan_sentence_chunks({2, 0, 6, 2, 1}, INT64_MAX, 10);
  ASSERT_EQ(chunks.size(), 2u);
  EXPECT_EQ(chunks[0].sentences, (std::vector<std::size_t>{2}));
  EXPECT_EQ(chunks[0].lengths, (std::vector<std::int64_t>{6}));
  EXPECT_EQ(chunks[1].sentences, (std::vector<std::size_t>{0, 3, 4}));
  EXPECT_EQ(chunks[1].lengths, (std::vector<std::int64_t>{2, 2, 1}));
  EXPECT_TRUE(detail::plan_sentence_chunks({0, 0}).empty());
}

TEST(SentenceBatches, TaggerBoundsComeFromItsBundle) {
  // Without batch bounds in its configuration: 250 sentences, 5000 words.
  const POSPlan::Impl defaults(pos_fixture("cases/bert_null"), false);
  EXPECT_EQ(ranges(defaults.plan_batches(std::vector<std::int64_t>(251, 1))),
            (Ranges{{0, 250}, {250, 251}}));
  EXPECT_EQ(ranges(defaults.plan_batches({3000, 10, 10})), (Ranges{{0, 1}, {1, 3}}));
  const POSPlan::Impl bounded(pos_fixture("models/plain_ignore_l2"), false);
  EXPECT_EQ(ranges(bounded.plan_batches(std::vector<std::int64_t>(20, 10))),
            (Ranges{{0, 16}, {16, 20}}));
  EXPECT_EQ(ranges(bounded.plan_batches({101, 100, 100})), (Ranges{{0, 1}, {1, 3}}));
}

TEST(POSEncoder, NormalizesRunsOfMarks) {
  using detail::normalize_punctuation;
  EXPECT_EQ(normalize_punctuation("\uFF1F"), "\uFF1F");
  EXPECT_EQ(normalize_punctuation("\uFF1F\uFF1F"), "?");
  EXPECT_EQ(normalize_punctuation("?\uFF01"), "?");
  EXPECT_EQ(normalize_punctuation("!?"), "!");
  EXPECT_EQ(normalize_punctuation("\u203C!"), "!");
  EXPECT_EQ(normalize_punctuation("\uFE56\uFE57\u2047"), "?");
  EXPECT_EQ(normalize_punctuation("?a"), "?a");
  EXPECT_EQ(normalize_punctuation("a?"), "a?");
  EXPECT_EQ(normalize_punctuation(""), "");
  EXPECT_THROW(normalize_punctuation("?\xFF"), std::invalid_argument);
}

// Sentences of 0 to 30 words, encoded in batches and one by one.
void check_batched_rows(const std::string& model) {
  SCOPED_TRACE(model);
  const POSPlan::Impl impl(pos_fixture("models/" + model), false);
  const auto sentences =
      test::json_sentences(detail::load_json(pos_fixture("batches.json")).at("sentences"));
  std::vector<at::Tensor> forward;
  std::vector<at::Tensor> backward;
  if (impl.use_charlm) {
    forward = impl.charlm_forward->encode_many(sentences);
    backward = impl.charlm_backward->encode_many(sentences);
  }
  c10::InferenceMode guard;
  const std::vector<at::Tensor> batched = impl.encode_batch(sentences, forward, backward);
  ASSERT_EQ(batched.size(), sentences.size());
  for (std::size_t s = 0; s < sentences.size(); ++s) {
    if (sentences[s].empty()) {
      EXPECT_FALSE(batched[s].defined());
      continue;
    }
    const at::Tensor alone = impl.encode_sentence(sentences[s]);
    ASSERT_EQ(batched[s].sizes(), alone.sizes());
    EXPECT_EQ(alone.size(1), 2 * impl.hidden_dim);
    EXPECT_TRUE(at::allclose(batched[s], alone, 1e-5, 1e-5)) << "sentence " << s;
  }
}

TEST(POSEncoder, BatchedRowsEqualSingleSentenceRows) {
  check_batched_rows("plain_ignore_l2");          // batches of 16 and 200 padded rows
  check_batched_rows("composite_charlm_raw_l1");  // batches of 3 and 50 padded rows
  check_batched_rows("composite_charlm_proj_l2"); // batches of 40
}

TEST(POSPlanBatch, ConsistencyChecks) {
  const POSPlan::Impl impl(pos_fixture("models/plain_l1"), false);
  c10::InferenceMode guard;
  const std::vector<std::vector<std::string>> sentences = {{"a", "b"}, {}, {"c"}};
  const at::Tensor two = impl.encode_sentence({"a", "b"});
  const at::Tensor one = impl.encode_sentence({"c"});
  const auto message = [&](const std::vector<at::Tensor>& encoded) {
    try {
      impl.predict_batch(encoded, sentences);
    } catch (const POSModelError& error) {
      return std::string(error.what());
    }
    return std::string("no error");
  };
  EXPECT_EQ(message({two, at::Tensor()}),
            "POS encoded and sentence batches must have equal lengths");
  EXPECT_EQ(message({two, at::Tensor(), at::Tensor()}),
            "POS encoded sentence length does not match its words");
  EXPECT_EQ(message({two, at::Tensor(), two}),
            "POS encoded sentence length does not match its words");
  // An empty sentence gets an empty result and reads no tensor.
  const auto results = impl.predict_batch({two, two, one}, sentences);
  EXPECT_EQ(results[0], impl.predict_tags(two, 2));
  EXPECT_TRUE(results[1].empty());
  EXPECT_EQ(results[2], impl.predict_tags(one, 1));

  const Document document = test::make_documents({{"a", "b"}}, 1).front();
  try {
    POSPlan::Impl::write_tags(document.sentences().at(0).words(), results[2]);
    FAIL() << "written";
  } catch (const POSModelError& error) {
    EXPECT_STREQ(error.what(), "POS word and tag counts disagree");
  }
}

TEST(POSPlanBatch, ManyOneWordSentencesAcrossDocuments) {
  // 251 sentences: a full batch of 250 and one more, spread over documents.
  const POSPlan plan(pos_fixture("models/plain_l1"), false);
  const std::vector<POSTags> alone = plan.tag({"word"});
  std::vector<Document> documents =
      test::make_documents(std::vector<std::vector<std::string>>(251, {"word"}), 10);
  ASSERT_EQ(documents.size(), 26u);
  plan.process_bulk(documents);
  std::size_t tagged = 0;
  for (const Document& document : documents) {
    const WordSequence words = document.words();
    for (std::uint64_t w = 0; w < words.size(); ++w) {
      EXPECT_EQ(test::written_tags(words.at(static_cast<std::int64_t>(w))), alone.front());
      ++tagged;
    }
  }
  EXPECT_EQ(tagged, 251u);
}

TEST(POSPlanBatch, AFailureInALaterSliceLeavesEveryDocumentUntagged) {
  // Slices of two words: the first document's sentence runs (and is tagged
  // in memory) before the second's fails on a word that is not UTF-8.
  const POSPlan plan(pos_fixture("models/composite_charlm_proj_l2"), false);
  const detail::BulkSliceBudget budget(2);
  std::vector<Document> documents = test::make_documents({{"a", "b"}, {"c", "d\xFF"}}, 1);
  EXPECT_THROW(plan.process_bulk(documents), std::invalid_argument);
  for (const Document& document : documents) {
    const WordSequence words = document.words();
    for (std::uint64_t w = 0; w < words.size(); ++w) {
      EXPECT_EQ(test::written_tags(words.at(static_cast<std::int64_t>(w))),
                (POSTags{"_", "_", "_"}));
    }
  }
  plan.process_bulk({documents.front()});
  EXPECT_EQ(test::written_tags(documents.front().words().at(1)), plan.tag({"a", "b"}).at(1));
}

} // namespace
} // namespace velmora
