// Native sentiment classes against the PyTorch reference classifier, through
// classify_many(), process() and process_bulk(), on hand-written sentences and
// the EWT dev treebank; the word ids, the batch plan, and a failed call.

#include <limits>

#include <gtest/gtest.h>

#include <velmora/sentiment.hpp>

#include "classifier_test_support.hpp"
#include "classifiers/sentiment_impl.hpp"

namespace velmora {
namespace {

using test::sentiment_fixture;

const char* const kModels[] = {
    "plain",          "sum_bilstm",          "concat_forward_projected", "backward_raw_tall",
    "both_projected", "transformer_both_raw"};

// Margins below this are near-ties that rounding may flip.
constexpr double kMarginTolerance = 1e-4;

void expect_run(const std::vector<std::int64_t>& got, const detail::JsonValue& run,
                const std::string& label) {
  std::vector<std::int64_t> want;
  for (const auto& item : run.at("classes").as_array()) {
    want.push_back(item.as_integer());
  }
  test::expect_reference_answers(got, want, test::json_numbers(run.at("margins")), kMarginTolerance,
                                 label);
}

std::vector<Document> token_documents(const std::vector<std::vector<std::string>>& sentences,
                                      std::size_t per_document) {
  return test::documents_of(sentences, per_document,
                            [](WordInput& word, const std::string& text) { word.text = text; });
}

// The classes written into the documents' sentences, in order; -1 for none.
std::vector<std::int64_t> written(const std::vector<Document>& documents) {
  std::vector<std::int64_t> classes;
  for (const Document& document : documents) {
    const SentenceSequence sentences = document.sentences();
    for (std::uint64_t s = 0; s < sentences.size(); ++s) {
      classes.push_back(sentences.at(static_cast<std::int64_t>(s)).sentiment().value_or(-1));
    }
  }
  return classes;
}

class SentimentReference : public ::testing::TestWithParam<const char*> {};

TEST_P(SentimentReference, EdgeSentences) {
  const detail::JsonValue edge = detail::load_json(sentiment_fixture("edge.json"));
  const auto sentences = test::json_string_lists(edge.at("sentences"));
  const SentimentPlan plan(sentiment_fixture(std::string("models/") + GetParam()), false);
  for (const unsigned long budget : {5000UL, 6UL, 1UL}) {
    const std::string key = std::to_string(budget);
    expect_run(plan.classify_many(sentences, budget), edge.at("models").at(GetParam()).at(key),
               std::string(GetParam()) + " budget " + key);
  }
}

TEST_P(SentimentReference, EwtDevSentences) {
  VELMORA_REQUIRE_SHARED(treebank, "ud-en-ewt/en_ewt-ud-dev.conllu");
  (void)treebank;
  static const detail::JsonValue ewt = detail::load_json(sentiment_fixture("ewt.json"));
  if (const detail::JsonValue* skipped = ewt.find("skipped")) {
    GTEST_SKIP() << "fixtures were generated without the treebank: " << skipped->as_string();
  }
  const auto sentences = test::json_string_lists(ewt.at("sentences"));
  const auto per_document = static_cast<std::size_t>(ewt.at("per_document").as_integer());
  const detail::JsonValue& reference = ewt.at("models").at(GetParam());
  const std::string model = GetParam();
  const SentimentPlan plan(sentiment_fixture("models/" + model), false);
  for (const unsigned long budget : {5000UL, 50UL, 1UL}) {
    const std::string key = std::to_string(budget);
    expect_run(plan.classify_many(sentences, budget), reference.at(key), model + " budget " + key);
  }

  std::vector<Document> one_by_one = token_documents(sentences, per_document);
  for (Document& document : one_by_one) {
    EXPECT_TRUE(plan.process(document).same_storage(document));
  }
  expect_run(written(one_by_one), reference.at("documents"), model + " process");

  const std::vector<Document> inputs = token_documents(sentences, per_document);
  const std::vector<Document> bulk = plan.process_bulk(inputs);
  ASSERT_EQ(bulk.size(), inputs.size());
  for (std::size_t d = 0; d < bulk.size(); ++d) {
    EXPECT_TRUE(bulk[d].same_storage(inputs[d]));
  }
  expect_run(written(bulk), reference.at("5000"), model + " process_bulk");
}

INSTANTIATE_TEST_SUITE_P(Models, SentimentReference, ::testing::ValuesIn(kModels));

TEST(SentimentWords, VocabularyForms) {
  // Lower-cased vocabulary: every form is looked up lower-cased.
  const SentimentPlan::Impl lowered(sentiment_fixture("models/plain"), false);
  const auto& units = lowered.pretrain_vocab;
  EXPECT_EQ(lowered.word_id("New York"), units.at("new\u00A0york"));
  EXPECT_EQ(lowered.word_id("ROCK'"), units.at("rock"));
  EXPECT_EQ(lowered.word_id("Bush"), units.at("bush"));
  EXPECT_EQ(lowered.word_id("qqq"), 1);
  EXPECT_EQ(lowered.word_id("<UNK>"), 1);

  // Case kept: a missing form falls back to its lower-case form, but the
  // form without its quote is looked up as it is.
  const SentimentPlan::Impl cased(sentiment_fixture("models/sum_bilstm"), false);
  const auto& forms = cased.pretrain_vocab;
  ASSERT_NE(forms.at("The"), forms.at("the"));
  EXPECT_EQ(cased.word_id("The"), forms.at("The"));
  EXPECT_EQ(cased.word_id("THE"), forms.at("the"));
  EXPECT_EQ(cased.word_id("rock'"), forms.at("rock"));
  EXPECT_EQ(cased.word_id("ROCK'"), 1);
  EXPECT_EQ(cased.word_id("New York"), forms.at("New\u00A0York"));
  EXPECT_EQ(cased.word_id("NEW YORK"), forms.at("new\u00A0york"));
  EXPECT_EQ(cased.word_id("'"), forms.at("'"));
}

std::vector<std::vector<std::size_t>> batches_of(const std::vector<std::size_t>& counts,
                                                 std::uint64_t budget) {
  const detail::WordBatches plan = detail::plan_word_batches(counts, budget);
  std::vector<std::vector<std::size_t>> batches;
  for (const detail::BatchRange& range : plan.batches) {
    batches.emplace_back(plan.order.begin() + static_cast<std::ptrdiff_t>(range.begin),
                         plan.order.begin() + static_cast<std::ptrdiff_t>(range.end));
  }
  return batches;
}

TEST(SentimentBatches, WordBudget) {
  using Batches = std::vector<std::vector<std::size_t>>;
  EXPECT_EQ(batches_of({3, 5, 2}, 6), (Batches{{1}, {0, 2}}));
  EXPECT_EQ(batches_of({7000, 10}, 5000), (Batches{{0}, {1}}));
  // An oversize first sentence closes its batch, even to one without words;
  // elsewhere sentences without words join the batch they follow.
  EXPECT_EQ(batches_of({0, 7000, 0, 3}, 5000), (Batches{{1}, {3, 0, 2}}));
  EXPECT_EQ(batches_of({2, 0, 2, 2}, 4), (Batches{{0, 2}, {3, 1}}));
  constexpr auto kLargest = std::numeric_limits<std::uint64_t>::max();
  EXPECT_EQ(batches_of({5, kLargest - 5, 1}, kLargest), (Batches{{1, 0}, {2}}));
  EXPECT_TRUE(batches_of({}, 1).empty());
}

TEST(SentimentClassify, BudgetAndEmptyInputs) {
  const SentimentPlan plan(sentiment_fixture("models/plain"), false);
  EXPECT_EQ(test::message_of<std::invalid_argument>([&] { plan.classify_many({}, 0); }),
            "sentiment batch_size must be positive");
  EXPECT_EQ(test::message_of<std::invalid_argument>([&] { plan.classify_many({{"a"}}, 0); }),
            "sentiment batch_size must be positive");
  EXPECT_TRUE(plan.classify_many({}, 1).empty());
  const std::int64_t padding_only = plan.classify({});
  EXPECT_GE(padding_only, 0);
  EXPECT_LT(padding_only, 3);

  Document empty("no sentences here");
  EXPECT_TRUE(plan.process(empty).same_storage(empty));
  EXPECT_TRUE(plan.process_bulk({}).empty());
}

TEST(SentimentClassify, FailedCallAnnotatesNothing) {
  // The transformer's unigram tokenizer gives a token of white space no
  // subword.
  const SentimentPlan plan(sentiment_fixture("models/unigram"), false);
  const std::vector<std::vector<std::string>> good = {{"a", "good", "day"}, {"bad"}};
  std::vector<std::vector<std::string>> bad = good;
  bad.push_back({"it", " ", "is"});
  std::vector<Document> documents = token_documents(good, 1);
  const std::vector<Document> failing = token_documents(bad, 2);
  documents.insert(documents.end(), failing.begin(), failing.end());
  EXPECT_THROW(plan.process_bulk(documents), TransformerError);
  EXPECT_THROW(plan.process(documents.back()), TransformerError);
  EXPECT_EQ(written(documents), std::vector<std::int64_t>(5, -1));
}

} // namespace
} // namespace velmora
