// Very long sentences: the relation scores are computed a block of
// dependents at a time past a size bound, with the values of the
// whole-tensor computation, and a sentence of well over a thousand words
// parses into one tree.

#include <ATen/Context.h>
#include <ATen/ops/allclose.h>
#include <ATen/ops/log_softmax.h>
#include <ATen/ops/randn.h>

#include "depparse_test_support.hpp"

namespace velmora {
namespace {

constexpr const char* kModel = "models/plain_lin_dist_l2";

TEST(DepparseLongSentence, BlockedRelationScoresEqualTheWholeTensor) {
  c10::InferenceMode guard;
  const DepparsePlan::Impl impl(test::depparse_fixture(kModel), false);
  const auto relations = static_cast<std::int64_t>(impl.deprel_labels.size()) - 4;
  // Enough positions for the cube to pass the whole-tensor bound of 2^24.
  std::int64_t positions = 2;
  while (positions * positions * relations <= (std::int64_t{1} << 24)) {
    positions *= 2;
  }
  at::manual_seed(7);
  const at::Tensor encoded = at::randn({1, positions, 2 * impl.hidden_dim});
  const at::Tensor blocked = impl.relation_log_probabilities(encoded);
  const at::Tensor whole = at::log_softmax(impl.deep_biaffine("deprel", encoded), 3);
  ASSERT_EQ(blocked.sizes(), whole.sizes());
  EXPECT_TRUE(blocked.is_contiguous());
  EXPECT_TRUE(at::allclose(blocked, whole, 1e-5, 1e-6));
}

TEST(DepparseLongSentence, ParsesIntoOneTree) {
  const DepparsePlan plan(test::depparse_fixture(kModel), false);
  std::vector<DepparseWord> words;
  for (int i = 0; i < 1500; ++i) {
    words.push_back(
        {i % 3 ? "word" : "the", std::nullopt, i % 3 ? "NOUN" : "DET", std::nullopt, std::nullopt});
  }
  const auto parse = plan.parse(words);
  ASSERT_EQ(parse.size(), words.size());
  std::size_t roots = 0;
  for (const DepparsePrediction& prediction : parse) {
    EXPECT_GE(prediction.head, 0);
    EXPECT_LE(prediction.head, static_cast<std::int32_t>(words.size()));
    roots += prediction.head == 0;
  }
  EXPECT_EQ(roots, 1u);
}

} // namespace
} // namespace velmora
