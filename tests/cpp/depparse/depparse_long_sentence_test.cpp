// Relation scores are computed only for the arcs a decode reads, with the
// values of the whole classifier, so that a very long sentence parses in
// memory that grows with its arcs, not with its arcs times its relations;
// a sentence whose arcs alone exceed the machine's memory is refused.

#include <sys/resource.h>

#include <ATen/Context.h>
#include <ATen/ops/allclose.h>
#include <ATen/ops/from_blob.h>
#include <ATen/ops/log_softmax.h>
#include <ATen/ops/randn.h>

#include "bundle/memory_budget.hpp"
#include "depparse_test_support.hpp"

namespace velmora {
namespace {

constexpr const char* kModel = "models/plain_lin_dist_l2";

TEST(DepparseLongSentence, RelationScoresAreThoseOfTheWholeClassifier) {
  c10::InferenceMode guard;
  const DepparsePlan::Impl impl(test::depparse_fixture(kModel), false);
  const auto labels = static_cast<std::int64_t>(impl.deprel_labels.size()) - 4;
  constexpr std::int64_t positions = 9;
  at::manual_seed(7);
  const at::Tensor encoded = at::randn({1, positions, 2 * impl.hidden_dim});
  const at::Tensor whole = at::log_softmax(impl.deep_biaffine("deprel", encoded), 3)[0];
  const detail::BiaffineRelationScores scorer = impl.relation_scores(encoded[0]);
  ASSERT_EQ(static_cast<std::int64_t>(scorer.labels()), labels);
  for (std::int64_t d = 0; d < positions; ++d) {
    std::vector<float> row = scorer.dependent_scores(d);
    EXPECT_TRUE(at::allclose(at::from_blob(row.data(), {positions, labels}), whole[d], 1e-5, 1e-6))
        << d;
  }
  // Arcs asked for in any order and with repeats.
  const std::vector<std::int64_t> dependents = {8, 0, 3, 3, 5};
  const std::vector<std::int64_t> heads = {0, 8, 3, 2, 5};
  std::vector<float> arcs = scorer.arc_scores(dependents, heads);
  ASSERT_EQ(arcs.size(), dependents.size() * static_cast<std::size_t>(labels));
  for (std::size_t i = 0; i < dependents.size(); ++i) {
    EXPECT_TRUE(at::allclose(at::from_blob(arcs.data() + i * labels, {labels}),
                             whole[dependents[i]][heads[i]], 1e-5, 1e-6))
        << i;
  }
}

std::vector<DepparseWord> long_sentence(int count) {
  std::vector<DepparseWord> words;
  for (int i = 0; i < count; ++i) {
    words.push_back(
        {i % 3 ? "word" : "the", std::nullopt, i % 3 ? "NOUN" : "DET", std::nullopt, std::nullopt});
  }
  return words;
}

// A sentence whose arc scores would not fit in the machine's memory is
// refused before they are made, by the single-sentence and the batched path
// alike, naming its size; the figure is set lower here.
TEST(DepparseLongSentence, SentencesLargerThanMemoryAreRefused) {
  const DepparsePlan plan(test::depparse_fixture(kModel), false);
  struct SmallMachine {
    SmallMachine() { detail::set_physical_memory_bytes(std::uint64_t{256} << 20); }
    ~SmallMachine() { detail::set_physical_memory_bytes(0); }
  } small;
  const std::vector<DepparseWord> words = long_sentence(4000);
  const std::string head = "depparse sentence of 4000 words needs ";
  const std::string tail = " MB of arc scores, more than this machine's 256.0 MB of memory";
  const std::vector<Document> documents = test::make_documents({words}, 1);
  for (const std::string& message :
       {test::message_of<DepparseModelError>([&] { plan.parse(words); }),
        test::message_of<DepparseModelError>([&] { plan.process_bulk(documents); })}) {
    ASSERT_EQ(message.substr(0, head.size()), head) << message;
    ASSERT_GT(message.size(), head.size() + tail.size());
    EXPECT_EQ(message.substr(message.size() - tail.size()), tail) << message;
    // At least the one float matrix the scores are.
    EXPECT_GE(std::stod(message.substr(head.size())), 4001.0 * 4001 * 4 / (1 << 20));
  }
  EXPECT_EQ(test::written(documents)[0][0].head, -1);
  EXPECT_EQ(plan.parse(long_sentence(100)).size(), 100u);
}

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer's shadow memory counts as data and its redzones as resident.
constexpr bool kMemoryMeasured = false;
#else
constexpr bool kMemoryMeasured = true;
#endif

// Ten thousand words, as text without sentence ends can give: the relation
// scores of all word pairs alone would take 20 GB here.
TEST(DepparseLongSentence, TenThousandWordsParseInBoundedMemory) {
  constexpr rlim_t kLimit = rlim_t{4} << 30;
  rlimit before{};
  ASSERT_EQ(getrlimit(RLIMIT_DATA, &before), 0);
  // Allocations past the bound fail at once instead of pressing the machine.
  rlimit bounded = before;
  bounded.rlim_cur = std::min(before.rlim_max, kLimit);
  if (kMemoryMeasured) {
    ASSERT_EQ(setrlimit(RLIMIT_DATA, &bounded), 0);
  }

  const DepparsePlan plan(test::depparse_fixture(kModel), false);
  const std::vector<DepparseWord> words = long_sentence(10000);
  std::vector<DepparsePrediction> parse;
  EXPECT_NO_THROW(parse = plan.parse(words));
  setrlimit(RLIMIT_DATA, &before);

  ASSERT_EQ(parse.size(), words.size());
  std::size_t roots = 0;
  for (const DepparsePrediction& prediction : parse) {
    EXPECT_GE(prediction.head, 0);
    EXPECT_LE(prediction.head, static_cast<std::int32_t>(words.size()));
    EXPECT_NE(prediction.deprel, "<PAD>");
    roots += prediction.head == 0;
  }
  EXPECT_EQ(roots, 1u);
  rusage usage{};
  ASSERT_EQ(getrusage(RUSAGE_SELF, &usage), 0);
  const double peak_gib = static_cast<double>(usage.ru_maxrss) / (1 << 20);
  RecordProperty("peak_resident_mib", static_cast<int>(usage.ru_maxrss / 1024));
  if (kMemoryMeasured) {
    EXPECT_LT(peak_gib, 4.0);
  }
}

} // namespace
} // namespace velmora
