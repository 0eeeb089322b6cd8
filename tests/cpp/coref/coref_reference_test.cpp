// The native resolver against the PyTorch reference on the fixture's
// documents (gen_transformer's corpus and, when it was present, every
// document of the EWT dev treebank), and the same predictions written into
// documents.

#include <algorithm>

#include <gtest/gtest.h>

#include "coref_test_support.hpp"

namespace velmora {
namespace {

using test::coref_fixture;
using test::coref_reference;

// A document qualifies for exact comparison when none of the reference's
// decisions is closer than this; rounding differences between the compiled
// encoder and the eager one stay far below it.
constexpr double kMarginTolerance = 1e-5;

std::vector<std::string> sorted(std::vector<std::string> values) {
  std::sort(values.begin(), values.end());
  return values;
}

// The input empty words of a reference document and those the reference
// added, as test::empty_word_texts() renders them.
std::vector<std::string> expected_empty_words(const detail::JsonValue& document,
                                              const detail::JsonValue& result) {
  std::vector<std::string> out;
  std::size_t s = 0;
  for (const detail::JsonValue& sentence : document.at("sentences").as_array()) {
    for (const detail::JsonValue& empty : sentence.at("empty").as_array()) {
      const auto& f = empty.as_array();
      out.push_back(std::to_string(s) + ":" + std::to_string(f[0].as_integer()) + "." +
                    std::to_string(f[1].as_integer()) + ":" + f[2].as_string());
    }
    ++s;
  }
  for (const detail::JsonValue& added : result.at("empty_words").as_array()) {
    const auto& f = added.as_array();
    out.push_back(std::to_string(f[0].as_integer()) + ":" + std::to_string(f[1].as_integer()) +
                  "." + std::to_string(f[2].as_integer()) + ":_");
  }
  return sorted(out);
}

class CorefReference : public ::testing::TestWithParam<std::string> {};

TEST_P(CorefReference, ResolveAndProcessMatchTheReference) {
  const detail::JsonValue& reference = coref_reference();
  const detail::JsonValue::Array& documents = reference.at("documents").as_array();
  const detail::JsonValue& model = reference.at("models").at(GetParam());
  const bool alternating = model.at("speakers").as_string() == "alternating";
  const detail::JsonValue::Array& results = model.at("results").as_array();
  ASSERT_EQ(results.size(), documents.size());
  if (reference.at("ewt_documents").as_integer() == 0) {
    std::cerr << "EWT dev treebank was absent when the fixtures were made; only the corpus "
                 "documents are compared\n";
  }

  const CorefPlan plan(coref_fixture("models/" + GetParam()), false);
  std::size_t qualified = 0;
  for (std::size_t d = 0; d < documents.size(); ++d) {
    if (results[d].at("margin").as_number() < kMarginTolerance) {
      continue;
    }
    ++qualified;
    SCOPED_TRACE("document " + std::to_string(d));
    const test::ResolveInputs inputs = test::resolve_inputs(documents[d], alternating);
    const CorefPrediction got = plan.resolve(inputs.words, inputs.sentence_ids, inputs.speakers);
    EXPECT_TRUE(test::same_prediction(got, test::reference_prediction(results[d])));

    Document document = test::reference_document(documents[d], alternating);
    plan.process(document);
    EXPECT_EQ(test::chain_texts(document), test::reference_chain_texts(results[d]));
    EXPECT_EQ(sorted(test::empty_word_texts(document)),
              expected_empty_words(documents[d], results[d]));
  }
  // Near-ties are skipped, not loosened: they must stay rare.
  EXPECT_GE(static_cast<double>(qualified), 0.95 * static_cast<double>(documents.size()));
}

INSTANTIATE_TEST_SUITE_P(Models, CorefReference,
                         ::testing::Values("wordpiece_base", "wordpiece_singletons", "bpe_pairwise",
                                           "xlmr_zeros", "bpe_all"));

} // namespace
} // namespace velmora
