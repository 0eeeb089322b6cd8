// Documents through process() and process_bulk(): what is written, what a
// failure leaves behind, batching against sentence-by-sentence parsing, and
// the scorer's and decoder's own checks.

#include <cmath>
#include <limits>

#include <ATen/ops/allclose.h>
#include <ATen/ops/ones.h>
#include <ATen/ops/randn.h>
#include <ATen/ops/zeros.h>
#include <gtest/gtest.h>

#include "depparse_test_support.hpp"

namespace velmora {
namespace {

using test::depparse_fixture;
using test::Parse;

DepparseWord tagged(std::string text, std::optional<std::string> upos = "NOUN",
                    std::optional<std::string> xpos = "NN") {
  return {std::move(text), std::nullopt, std::move(upos), std::move(xpos), std::nullopt};
}

template <class Run> std::string error_of(Run run) {
  try {
    run();
  } catch (const DepparseModelError& error) {
    return error.what();
  }
  return "no error";
}

class DepparseProcess : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    plan_ = new DepparsePlan(depparse_fixture("models/plain_l3_small_batches"), false);
  }
  static void TearDownTestSuite() { delete plan_; }
  static DepparsePlan* plan_;
};
DepparsePlan* DepparseProcess::plan_ = nullptr;

TEST_F(DepparseProcess, WritesEveryWordAndAcceptsEitherTag) {
  EXPECT_TRUE(plan_->parse({}).empty());
  const Parse one = plan_->parse({tagged("Hi", std::nullopt, std::nullopt)});
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0].head, 0);

  // UPOS alone, XPOS alone, no lemma or features: all accepted.
  std::vector<Document> documents = test::make_documents(
      {{tagged("The", "DET", std::nullopt), tagged("dog", std::nullopt, "NN"), tagged("ran")},
       {},
       {tagged("Yes")}},
      3);
  const Document result = plan_->process(documents[0]);
  EXPECT_TRUE(result.same_storage(documents[0]));
  const std::vector<Parse> parses = test::written(documents);
  ASSERT_EQ(parses.size(), 3u);
  EXPECT_TRUE(parses[1].empty());
  EXPECT_EQ(parses[2], (Parse{{0, plan_->parse({tagged("Yes")})[0].deprel}}));
  int roots = 0;
  for (const DepparsePrediction& prediction : parses[0]) {
    roots += prediction.head == 0;
    EXPECT_NE(prediction.deprel, "?");
  }
  EXPECT_EQ(roots, 1);
  // The head of a root attachment is stored as 0, not left absent.
  const WordSequence words = documents[0].sentences().at(2).words();
  EXPECT_EQ(words.at(0).head(), std::optional<std::int32_t>(0));
}

TEST_F(DepparseProcess, UntaggedWordStopsTheCall) {
  const std::vector<std::vector<DepparseWord>> sentences = {
      {tagged("One"), tagged("two")},
      {tagged("three"), tagged("x", std::nullopt, std::nullopt)},
      {tagged("four")}};
  // One document or many: nothing is written at all, not even the sentence
  // before the untagged word.
  for (const std::size_t per_document : {std::size_t{3}, std::size_t{1}}) {
    std::vector<Document> bulk = test::make_documents(sentences, per_document);
    EXPECT_EQ(error_of([&] {
                if (per_document == 3) {
                  plan_->process(bulk[0]);
                } else {
                  plan_->process_bulk(bulk);
                }
              }),
              "POS must run before depparse");
    for (const Parse& parse : test::written(bulk)) {
      for (const DepparsePrediction& prediction : parse) {
        EXPECT_EQ(prediction.head, -1);
      }
    }
  }
}

TEST_F(DepparseProcess, BulkEqualsOneByOneUnderTheRowBudget) {
  // The budget is 64 padded rows: sentences of 64 rows and more run alone,
  // shorter ones share chunks; empty sentences and documents are skipped.
  std::vector<std::vector<DepparseWord>> sentences;
  const std::vector<std::string> vocabulary = {"the", "dog", "saw", "a", "cat", "?!", "New York"};
  for (const std::size_t length : {5, 0, 70, 1, 63, 64, 2, 31, 31, 31, 8, 0, 17, 3}) {
    auto& words = sentences.emplace_back();
    for (std::size_t w = 0; w < length; ++w) {
      words.push_back(tagged(vocabulary[(length + w) % vocabulary.size()]));
    }
  }
  std::vector<Document> one_by_one = test::make_documents(sentences, 4);
  for (Document& document : one_by_one) {
    plan_->process(document);
  }
  std::vector<Document> inputs = test::make_documents(sentences, 4);
  inputs.insert(inputs.begin() + 1, Document(std::string()));
  const std::vector<Document> bulk = plan_->process_bulk(inputs);
  ASSERT_EQ(bulk.size(), inputs.size());
  EXPECT_TRUE(bulk[1].same_storage(inputs[1]));
  EXPECT_EQ(test::written(bulk), test::written(one_by_one));
  EXPECT_TRUE(plan_->process_bulk({}).empty());
  const DepparsePlan charlm(depparse_fixture("models/composite_charlm_lin_l1"), false);
  EXPECT_TRUE(charlm.process_bulk({}).empty());
}

TEST_F(DepparseProcess, ScoresAndTheirChecks) {
  const DepparsePlan::Impl impl(depparse_fixture("models/plain_lin_dist_l2"), false);
  c10::InferenceMode guard;
  const std::int64_t width = 2 * impl.hidden_dim;
  const double inf = std::numeric_limits<double>::infinity();

  // Two positions: the word's head is the root, the root's row is (-inf, 0).
  const at::Tensor two = at::randn({1, 2, width});
  const at::Tensor pair = impl.arc_log_probabilities(two, nullptr);
  EXPECT_EQ(pair[0][1][0].item<double>(), 0.0);
  EXPECT_EQ(pair[0][1][1].item<double>(), -inf);
  EXPECT_EQ(pair[0][0][0].item<double>(), -inf);
  double mass = 0.0;
  for (const float score : impl.relation_scores(two[0]).arc_scores({1}, {1})) {
    mass += std::exp(score);
  }
  EXPECT_NEAR(mass, 1.0, 1e-5);

  // A padded batch of 3 and 5 positions scores the first sentence as alone.
  const at::Tensor batch = at::randn({2, 5, width});
  at::Tensor mask = at::zeros({2, 5}, at::TensorOptions().dtype(at::kBool));
  mask[0].narrow(0, 0, 3).fill_(true);
  mask[1].fill_(true);
  const at::Tensor arcs = impl.arc_log_probabilities(batch, &mask);
  const at::Tensor alone =
      impl.arc_log_probabilities(batch.narrow(0, 0, 1).narrow(1, 0, 3), nullptr);
  EXPECT_TRUE(at::allclose(arcs[0].narrow(0, 0, 3).narrow(1, 0, 3), alone[0], 1e-5, 1e-5));
  EXPECT_EQ(arcs[0][1][4].item<double>(), -inf);

  const std::string mask_error = "depparse padding mask does not match encoded input";
  const at::Tensor flat = at::ones({5}, at::TensorOptions().dtype(at::kBool));
  const at::Tensor longer = at::ones({2, 6}, at::TensorOptions().dtype(at::kBool));
  EXPECT_EQ(error_of([&] { impl.arc_log_probabilities(batch, &flat); }), mask_error);
  EXPECT_EQ(error_of([&] { impl.arc_log_probabilities(batch, &longer); }), mask_error);

  const std::vector<std::vector<DepparseWord>> sentences = {{tagged("a"), tagged("b")}};
  EXPECT_EQ(error_of([&] { impl.score_batch({}, sentences); }),
            "depparse encoded and sentence batches must have equal lengths");
  EXPECT_EQ(error_of([&] {
              impl.score_batch({at::randn({1, 2, width})}, sentences);
            }),
            "depparse encoded sentence length does not match its words");
}

TEST_F(DepparseProcess, RelationBeyondTheLabelsIsRefused) {
  // One relation more than the labels name, and it wins every arc.
  const DepparsePlan::Impl impl(depparse_fixture("cases/valid"), false);
  const auto labels = static_cast<std::int64_t>(impl.deprel_labels.size()) - 4;
  at::Tensor arcs = at::zeros({1, 3, 3});
  arcs[0][2][1].fill_(1.0); // word 2 under word 1, word 1 under the root
  detail::RelationCube relations(3, static_cast<std::size_t>(labels) + 1);
  for (std::size_t d = 0; d < 3; ++d) {
    for (std::size_t h = 0; h < 3; ++h) {
      relations.arc(d, h)[labels] = 1.0F;
    }
  }
  EXPECT_EQ(error_of([&] {
              impl.decode_sentence({tagged("a"), tagged("b")}, arcs, relations);
            }),
            "deprel classifier produced an invalid id");
}

} // namespace
} // namespace velmora
