// Native parses against the PyTorch reference parser, through parse(),
// process() and process_bulk(), on hand-written sentences, on a treebank
// subset for every model and on the whole EWT dev treebank for two models.

#include <map>

#include <gtest/gtest.h>

#include <velmora/depparse.hpp>
#include <velmora/json.hpp>
#include <velmora/pos.hpp>

#include "depparse_test_support.hpp"

namespace velmora {
namespace {

using test::depparse_fixture;
using test::Parse;

// Parses every sentence three ways and compares each with the reference.
void check_model(const std::string& model, const std::vector<std::vector<DepparseWord>>& sentences,
                 const std::vector<Parse>& reference, std::size_t per_document) {
  const auto path = depparse_fixture("models/" + model);
  const DepparsePlan plan(path, false);
  const DepparsePlan::Impl impl(path, false);

  std::vector<Parse> parsed;
  for (const auto& words : sentences) {
    parsed.push_back(plan.parse(words));
  }
  test::expect_reference(impl, sentences, parsed, reference, model + " parse");

  std::vector<Document> one_by_one = test::make_documents(sentences, per_document);
  for (Document& document : one_by_one) {
    EXPECT_TRUE(plan.process(document).same_storage(document));
  }
  EXPECT_EQ(test::written(one_by_one), parsed) << model << " process";

  const std::vector<Document> inputs = test::make_documents(sentences, per_document);
  const std::vector<Document> bulk = plan.process_bulk(inputs);
  ASSERT_EQ(bulk.size(), inputs.size());
  for (std::size_t d = 0; d < bulk.size(); ++d) {
    EXPECT_TRUE(bulk[d].same_storage(inputs[d]));
  }
  test::expect_reference(impl, sentences, test::written(bulk), reference, model + " bulk");
}

const detail::JsonValue& fixture_json(const std::string& name) {
  static std::map<std::string, detail::JsonValue> cache;
  auto found = cache.find(name);
  if (found == cache.end()) {
    found = cache.emplace(name, detail::load_json(depparse_fixture(name))).first;
  }
  return found->second;
}

class DepparseReference : public ::testing::TestWithParam<const char*> {};

TEST_P(DepparseReference, EdgeSentences) {
  const detail::JsonValue& edge = fixture_json("edge.json");
  check_model(GetParam(), test::json_sentences(edge.at("sentences")),
              test::reference_parses(edge.at("models").at(GetParam())), 3);
}

TEST_P(DepparseReference, TreebankSentences) {
  VELMORA_REQUIRE_SHARED(treebank, "ud-en-ewt/en_ewt-ud-dev.conllu");
  (void)treebank;
  // The EWT models run over the whole treebank, the others over its start.
  const detail::JsonValue& ewt = fixture_json("ewt.json");
  if (const detail::JsonValue* skipped = ewt.find("skipped")) {
    GTEST_SKIP() << "fixtures were generated without the treebank: " << skipped->as_string();
  }
  const detail::JsonValue& subset = fixture_json("subset.json");
  const detail::JsonValue& source = ewt.at("models").find(GetParam()) ? ewt : subset;
  // Documents of 37 sentences: bulk chunks cross document boundaries.
  check_model(GetParam(), test::json_sentences(source.at("sentences")),
              test::reference_parses(source.at("models").at(GetParam())), 37);
}

// The treebank as a pipeline hands it over: words and lemmas, tagged by the
// fixture tagger through its documents, then parsed; against the reference
// parser's parses of the reference tagger's tags. A sentence in which the
// native tagger broke a near-tie otherwise has other inputs and is left out.
TEST(DepparseTaggedTreebank, ParsesWhatTheTaggerWrote) {
  VELMORA_REQUIRE_SHARED(treebank, "ud-en-ewt/en_ewt-ud-dev.conllu");
  (void)treebank;
  const detail::JsonValue& tagged = fixture_json("ewt_tagged.json");
  if (const detail::JsonValue* skipped = tagged.find("skipped")) {
    GTEST_SKIP() << "fixtures were generated without the treebank: " << skipped->as_string();
  }
  const auto sentences = test::json_sentences(tagged.at("sentences"));
  auto untagged = sentences;
  for (auto& words : untagged) {
    for (DepparseWord& word : words) {
      word.upos = word.xpos = word.feats = std::nullopt;
    }
  }
  const std::vector<Document> documents = test::make_documents(untagged, 37);
  const POSPlan tagger(depparse_fixture("tagger"), false);
  const auto path = depparse_fixture("models/plain_lin_dist_l2");
  const DepparsePlan parser(path, false);
  parser.process_bulk(tagger.process_bulk(documents));

  // Reference decisions closer than this may flip with rounding.
  constexpr double kMarginTolerance = 1e-4;
  const auto& margins = tagged.at("margins").as_array();
  const std::vector<Parse> parses = test::written(documents);
  const std::vector<Parse> reference = test::reference_parses(tagged.at("parses"));
  std::vector<std::vector<DepparseWord>> kept_sentences;
  std::vector<Parse> kept;
  std::vector<Parse> kept_reference;
  std::size_t s = 0;
  std::size_t retagged = 0;
  for (const Document& document : documents) {
    const SentenceSequence document_sentences = document.sentences();
    for (std::uint64_t d = 0; d < document_sentences.size(); ++d, ++s) {
      const WordSequence words = document_sentences.at(static_cast<std::int64_t>(d)).words();
      bool same = true;
      for (std::uint64_t w = 0; w < words.size(); ++w) {
        const Word word = words.at(static_cast<std::int64_t>(w));
        const DepparseWord& want = sentences[s][w];
        if (word.upos() != want.upos || word.xpos() != want.xpos || word.feats() != want.feats) {
          EXPECT_LT(margins[s].as_array()[w].as_number(), kMarginTolerance)
              << "sentence " << s << " word " << w << " tagged otherwise";
          same = false;
        }
      }
      if (same) {
        kept_sentences.push_back(sentences[s]);
        kept.push_back(parses[s]);
        kept_reference.push_back(reference[s]);
      } else {
        ++retagged;
      }
    }
  }
  ASSERT_EQ(s, sentences.size());
  EXPECT_LE(retagged * 100, sentences.size()) << "too many near-ties to be meaningful";
  const DepparsePlan::Impl impl(path, false);
  test::expect_reference(impl, kept_sentences, kept, kept_reference, "tagged treebank");
}

// The scores behind the parses: arc and relation log-probabilities of the
// first edge sentences, root row included, against the reference's.
TEST_P(DepparseReference, ScoresMatchTheReference) {
  const detail::JsonValue& edge = fixture_json("edge.json");
  const auto sentences = test::json_sentences(edge.at("sentences"));
  const DepparsePlan::Impl impl(depparse_fixture("models/" + std::string(GetParam())), false);
  c10::InferenceMode guard;
  for (const auto& entry : edge.at("scores").at(GetParam()).as_array()) {
    const auto& words = sentences.at(static_cast<std::size_t>(entry.at("sentence").as_integer()));
    const at::Tensor encoded = impl.encode_sentence(words, nullptr, nullptr);
    const at::Tensor arcs = impl.arc_log_probabilities(encoded, nullptr);
    const detail::BiaffineRelationScores scorer = impl.relation_scores(encoded.squeeze(0));
    const auto& want_arcs = entry.at("arcs").as_array();
    const auto& want_relations = entry.at("relations").as_array();
    ASSERT_EQ(arcs.size(1), static_cast<std::int64_t>(want_arcs.size()));
    const auto labels = static_cast<std::int64_t>(scorer.labels());
    for (std::int64_t d = 0; d < arcs.size(1); ++d) {
      const std::vector<float> relations = scorer.dependent_scores(d);
      for (std::int64_t h = 0; h < arcs.size(2); ++h) {
        const auto& want = want_arcs[d].as_array()[h];
        const double got = arcs[0][d][h].item<double>();
        if (want.is_null()) {
          EXPECT_TRUE(std::isinf(got) && got < 0) << d << " " << h;
        } else {
          EXPECT_NEAR(got, want.as_number(), 1e-4) << d << " " << h;
        }
        const auto& want_row = want_relations[d].as_array()[h].as_array();
        ASSERT_EQ(labels, static_cast<std::int64_t>(want_row.size()));
        for (std::int64_t r = 0; r < labels; ++r) {
          EXPECT_NEAR(relations[static_cast<std::size_t>(h * labels + r)],
                      want_row[static_cast<std::size_t>(r)].as_number(), 1e-4);
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Models, DepparseReference,
                         ::testing::Values("plain_lin_dist_l2", "composite_charlm_lin_l1",
                                           "plain_l3_small_batches", "composite_plus_dist_l2",
                                           "transformer_lin_dist_l1"));

} // namespace
} // namespace velmora
