// Native tags against the PyTorch reference tagger, through tag(), process()
// and process_bulk(), on hand-written sentences and on the EWT dev treebank.

#include <gtest/gtest.h>

#include <velmora/json.hpp>
#include <velmora/pos.hpp>

#include "pos_test_support.hpp"

namespace velmora {
namespace {

using test::pos_fixture;

const char* const kModels[] = {"plain_l1", "plain_ignore_l2", "composite_charlm_proj_l2",
                               "composite_charlm_raw_l1", "transformer_l1"};

// Compares every word whose reference decision is clear; a handful of
// near-ties may go either way.
void expect_reference(const std::vector<std::vector<POSTags>>& got, const test::ReferenceTags& want,
                      const std::string& label) {
  ASSERT_EQ(got.size(), want.tags.size()) << label;
  std::size_t compared = 0;
  std::size_t close_calls = 0;
  std::size_t failures = 0;
  for (std::size_t s = 0; s < got.size(); ++s) {
    ASSERT_EQ(got[s].size(), want.tags[s].size()) << label << " sentence " << s;
    for (std::size_t w = 0; w < got[s].size(); ++w) {
      if (want.margins[s][w] < test::kMarginTolerance) {
        ++close_calls;
        continue;
      }
      ++compared;
      const POSTags& a = got[s][w];
      const POSTags& b = want.tags[s][w];
      if (a != b && ++failures <= 5) {
        ADD_FAILURE() << label << " sentence " << s << " word " << w << ": got " << a.upos << " "
                      << a.xpos << " " << a.feats << ", want " << b.upos << " " << b.xpos << " "
                      << b.feats;
      }
    }
  }
  EXPECT_EQ(failures, 0u) << label;
  EXPECT_LE(close_calls * 100, compared) << label << ": too many near-ties to be meaningful";
}

std::vector<std::vector<POSTags>> written(const std::vector<Document>& documents) {
  std::vector<std::vector<POSTags>> tags;
  for (const Document& document : documents) {
    const SentenceSequence sentences = document.sentences();
    for (std::uint64_t s = 0; s < sentences.size(); ++s) {
      const WordSequence words = sentences.at(static_cast<std::int64_t>(s)).words();
      auto& sentence = tags.emplace_back();
      for (std::uint64_t w = 0; w < words.size(); ++w) {
        sentence.push_back(test::written_tags(words.at(static_cast<std::int64_t>(w))));
      }
    }
  }
  return tags;
}

// Tags every sentence three ways and compares each with the reference.
void check_model(const std::string& model, const std::vector<std::vector<std::string>>& sentences,
                 const test::ReferenceTags& reference, std::size_t per_document) {
  const POSPlan plan(pos_fixture("models/" + model), false);

  std::vector<std::vector<POSTags>> tagged;
  for (const auto& words : sentences) {
    tagged.push_back(plan.tag(words));
  }
  expect_reference(tagged, reference, model + " tag");

  std::vector<Document> one_by_one = test::make_documents(sentences, per_document);
  for (Document& document : one_by_one) {
    const Document result = plan.process(document);
    EXPECT_TRUE(result.same_storage(document));
  }
  // Both run one sentence at a time: the same arithmetic, the same tags.
  EXPECT_EQ(written(one_by_one), tagged) << model << " process";

  const std::vector<Document> inputs = test::make_documents(sentences, per_document);
  const std::vector<Document> bulk = plan.process_bulk(inputs);
  ASSERT_EQ(bulk.size(), inputs.size());
  for (std::size_t d = 0; d < bulk.size(); ++d) {
    EXPECT_TRUE(bulk[d].same_storage(inputs[d]));
  }
  expect_reference(written(bulk), reference, model + " process_bulk");
}

class POSReference : public ::testing::TestWithParam<const char*> {};

TEST_P(POSReference, EdgeSentences) {
  const detail::JsonValue edge = detail::load_json(pos_fixture("edge.json"));
  check_model(GetParam(), test::json_sentences(edge.at("sentences")),
              test::reference_tags(edge.at("models").at(GetParam())), 3);
}

const detail::JsonValue& ewt_reference() {
  static const detail::JsonValue value = detail::load_json(pos_fixture("ewt.json"));
  return value;
}

TEST_P(POSReference, EwtDevSentences) {
  VELMORA_REQUIRE_SHARED(treebank, "ud-en-ewt/en_ewt-ud-dev.conllu");
  (void)treebank;
  const detail::JsonValue& ewt = ewt_reference();
  if (const detail::JsonValue* skipped = ewt.find("skipped")) {
    GTEST_SKIP() << "fixtures were generated without the treebank: " << skipped->as_string();
  }
  // Documents of 37 sentences: bulk batches cross document boundaries.
  check_model(GetParam(), test::json_sentences(ewt.at("sentences")),
              test::reference_tags(ewt.at("models").at(GetParam())), 37);
}

INSTANTIATE_TEST_SUITE_P(Models, POSReference, ::testing::ValuesIn(kModels));

} // namespace
} // namespace velmora
