// The entity tagger's decoding and document writing: the Viterbi search
// against brute force, its tie rules, the BIOES repair, decisions forced by
// zeroed heads, the vocabulary key rules, and what process() leaves in a
// document when it succeeds and when it fails.

#include <cmath>
#include <random>
#include <stdexcept>

#include <gtest/gtest.h>

#include <ATen/ops/from_blob.h>
#include <ATen/ops/zeros.h>

#include <velmora/json.hpp>
#include <velmora/ner.hpp>

#include "ner_test_support.hpp"
#include "taggers/ner_impl.hpp"

namespace velmora {
namespace {

using test::ner_fixture;

at::Tensor matrix(std::vector<float>& values, std::int64_t rows, std::int64_t columns) {
  return at::from_blob(values.data(), {rows, columns}, at::kFloat);
}

TEST(NERDecode, ViterbiFindsTheBestOfAllPaths) {
  std::mt19937 random(5);
  std::normal_distribution<float> normal(0.0F, 2.0F);
  for (int trial = 0; trial < 300; ++trial) {
    const std::int64_t n = 1 + trial % 6;
    const std::int64_t k = 1 + (trial / 6) % 5;
    std::vector<float> e(static_cast<std::size_t>(n * k));
    std::vector<float> t(static_cast<std::size_t>(k * k));
    for (float& v : e) {
      v = normal(random);
    }
    for (float& v : t) {
      v = normal(random);
    }
    // Every path, scored in double; the best must beat the second clearly.
    std::vector<std::int64_t> path(static_cast<std::size_t>(n), 0);
    std::vector<std::int64_t> best_path;
    double best = -INFINITY;
    double second = -INFINITY;
    while (true) {
      double score = e[static_cast<std::size_t>(path[0])];
      for (std::int64_t w = 1; w < n; ++w) {
        const auto i = static_cast<std::size_t>(path[w - 1]);
        const auto j = static_cast<std::size_t>(path[w]);
        score += t[i * k + j] + e[static_cast<std::size_t>(w * k) + j];
      }
      if (score > best) {
        second = best;
        best = score;
        best_path = path;
      } else if (score > second) {
        second = score;
      }
      std::int64_t w = n - 1;
      while (w >= 0 && ++path[w] == k) {
        path[w--] = 0;
      }
      if (w < 0) {
        break;
      }
    }
    if (best - second < 1e-3) {
      continue;
    }
    EXPECT_EQ(NERPlan::Impl::decode_viterbi(matrix(e, n, k), matrix(t, k, k)), best_path)
        << "n=" << n << " k=" << k;
  }
}

TEST(NERDecode, ViterbiTiesGoToTheLowestId) {
  // All equal: every step keeps previous tag 0 and the end keeps tag 0.
  std::vector<float> flat(12, 1.5F);
  std::vector<float> flat_t(9, -0.5F);
  EXPECT_EQ(NERPlan::Impl::decode_viterbi(matrix(flat, 4, 3), matrix(flat_t, 3, 3)),
            (std::vector<std::int64_t>{0, 0, 0, 0}));
  // One word: the first maximum of its emissions.
  std::vector<float> one = {0.0F, 2.0F, 2.0F};
  EXPECT_EQ(NERPlan::Impl::decode_viterbi(matrix(one, 1, 3), matrix(flat_t, 3, 3)),
            (std::vector<std::int64_t>{1}));
  // Tags 1 and 2 tie at the end; before tag 2, previous tags 0 and 1 tie.
  std::vector<float> e = {1.0F, 1.0F, 0.0F, 0.0F, 3.0F, 3.0F};
  std::vector<float> t = {0.0F, 0.0F, 1.0F, 0.0F, 0.0F, 0.0F, 0.0F, 0.0F, 0.0F};
  EXPECT_EQ(NERPlan::Impl::decode_viterbi(matrix(e, 2, 3), matrix(t, 3, 3)),
            (std::vector<std::int64_t>{0, 2}));
  // A single tag: every id is 0.
  std::vector<float> single = {4.0F, -1.0F, 2.0F};
  std::vector<float> self = {7.0F};
  EXPECT_EQ(NERPlan::Impl::decode_viterbi(matrix(single, 3, 1), matrix(self, 1, 1)),
            (std::vector<std::int64_t>{0, 0, 0}));
}

std::vector<std::string> repaired(std::vector<std::string> tags) {
  NERPlan::Impl::repair_bioes(tags);
  return tags;
}

TEST(NERDecode, RepairExamples) {
  using V = std::vector<std::string>;
  const std::vector<std::pair<V, V>> examples = {
      {{"I-PER"}, {"S-PER"}},
      {{"I-PER", "I-PER"}, {"B-PER", "E-PER"}},
      {{"B-PER", "I-PER"}, {"B-PER", "E-PER"}},
      {{"O", "I-LOC", "O"}, {"O", "S-LOC", "O"}},
      {{"B-ORG", "B-ORG"}, {"S-ORG", "S-ORG"}},
      {{"E-MISC"}, {"S-MISC"}},
      {{"B-PER", "I-LOC", "E-PER"}, {"S-PER", "S-LOC", "S-PER"}},
      {{"B-PER", "E-LOC"}, {"S-PER", "S-LOC"}},
      {{"S-PER", "O"}, {"S-PER", "O"}},
      {{"I-"}, {"S-"}},
      {{"I", "B", "<PAD>", ""}, {"I", "B", "<PAD>", ""}},
      {{}, {}},
  };
  for (const auto& [input, want] : examples) {
    EXPECT_EQ(repaired(input), want);
  }
}

TEST(NERDecode, RepairMatchesTheReferenceAndIsSettled) {
  const detail::JsonValue cases = detail::load_json(ner_fixture("repair.json"));
  ASSERT_GE(cases.as_array().size(), 100u);
  for (const auto& entry : cases.as_array()) {
    const std::vector<std::string> once = repaired(test::strings(entry.at("tags")));
    EXPECT_EQ(once, test::strings(entry.at("repaired")));
    EXPECT_EQ(repaired(once), once);
    EXPECT_TRUE(test::well_formed_bioes(once));
  }
}

TEST(NERDecode, ForcedTiesAndInvalidColumns) {
  const detail::JsonValue cases = detail::load_json(ner_fixture("forced.json"));
  for (const auto& entry : cases.as_array()) {
    const std::string name = entry.at("name").as_string();
    SCOPED_TRACE(name);
    const NERPlan plan(ner_fixture("forced/" + name), false);
    const std::vector<std::string> words = test::strings(entry.at("words"));
    if (const detail::JsonValue* error = entry.find("error")) {
      EXPECT_EQ(test::message_of<NERModelError>([&] { plan.tag(words); }), error->as_string());
    } else {
      EXPECT_EQ(plan.tag(words), test::strings(entry.at("tags")));
      EXPECT_EQ(plan.tag({words[0]}), std::vector<std::string>{"S-PER"});
    }
  }
}

TEST(NERDecode, VocabularyKeys) {
  const NERPlan::Impl impl(ner_fixture("models/charlstm_l1"), false);
  // Lower-cased for both vocabularies; spaces become U+00A0 for the word
  // vocabulary only.
  EXPECT_EQ(impl.vocabulary_key("NEW York", true, true), "new\u00A0york");
  EXPECT_EQ(impl.vocabulary_key("NEW York", false, false), "new york");
  const NERPlan::Impl::WordIds ids = impl.word_ids({"Paris", "New York", "zebra", "Velmora"});
  EXPECT_EQ(ids.word, (std::vector<std::int64_t>{impl.word_vocab.at("paris"),
                                                 impl.word_vocab.at("new\u00A0york"), 1, 1}));
  // Known to the word vocabulary only: delta id 0; unknown to both: 1; known
  // to the delta vocabulary only: its own id.
  EXPECT_EQ(ids.delta, (std::vector<std::int64_t>{0, 0, 1, impl.delta_vocab.at("velmora")}));

  // Without lower-casing, the word vocabulary (lower itself) sees "paris",
  // the delta vocabulary "Paris" as written.
  const NERPlan::Impl cased(ner_fixture("models/case_sensitive"), false);
  const NERPlan::Impl::WordIds cased_ids = cased.word_ids({"Paris", "paris"});
  EXPECT_EQ(cased_ids.word[0], cased.word_vocab.at("paris"));
  EXPECT_EQ(cased_ids.word[1], cased.word_vocab.at("paris"));
  EXPECT_EQ(cased_ids.delta, (std::vector<std::int64_t>{cased.delta_vocab.at("Paris"), 0}));
}

TEST(NERDecode, EmptyInputsAndEmptyTokens) {
  const NERPlan plan(ner_fixture("models/charlstm_l1"), false);
  EXPECT_TRUE(plan.tag({}).empty());
  EXPECT_EQ(test::message_of<NERModelError>([&] {
              plan.tag({"a", ""});
            }),
            "NER cannot encode an empty token");
  // The language models read an empty token like any other.
  const NERPlan charlm(ner_fixture("models/charlm_lower"), false);
  EXPECT_EQ(charlm.tag({"a", "", "b"}).size(), 3u);
  // One word through the two-layer character model.
  EXPECT_EQ(NERPlan(ner_fixture("models/charlstm2_transform_l2"), false).tag({"x"}).size(), 1u);
}

TEST(NERDecode, ProcessWritesEveryTokenAndRebuildsEntities) {
  const NERPlan plan(ner_fixture("forced/ties_inside"), false);
  Document document = test::document_of({{{"the"}, {"don't", "do", "n't"}, {"a"}}, {}, {{"b"}}});
  Token stale = document.sentences().at(2).tokens().at(0);
  stale.set_ner("B-OLD");
  stale.set_multi_ner({"B-OLD", "E-OLD"});
  plan.process(document);
  EXPECT_EQ(test::written_tags(document),
            (std::vector<std::vector<std::string>>{{"B-PER", "I-PER", "E-PER"}, {}, {"S-PER"}}));
  const SpanSequence spans = document.ents();
  ASSERT_EQ(spans.size(), 2u);
  EXPECT_EQ(spans.at(0).tokens().size(), 3u);
  EXPECT_EQ(spans.at(1).type(), "PER");
}

TEST(NERDecode, AFailedProcessLeavesTheDocumentAsItWas) {
  // The second sentence fails: a C++ caller can build a token whose text is
  // not UTF-8, which the encoder cannot split into characters.
  const NERPlan plan(ner_fixture("models/charlstm_l1"), false);
  Document document = test::document_of({{{"a"}, {"b"}}, {{"abc"}, {"d\xFF"}}});
  Token first = document.sentences().at(0).tokens().at(0);
  first.set_ner("S-LOC");
  document.rebuild_entities();
  EXPECT_EQ(test::message_of<std::invalid_argument>([&] { plan.process(document); }),
            "invalid UTF-8 sequence at byte offset 1");
  EXPECT_EQ(first.ner(), "S-LOC");
  EXPECT_EQ(first.multi_ner(), std::vector<std::string>{});
  EXPECT_EQ(document.sentences().at(0).tokens().at(1).ner(), std::nullopt);
  ASSERT_EQ(document.ents().size(), 1u);
  EXPECT_EQ(document.ents().at(0).type(), "LOC");
  EXPECT_EQ(plan.tag({"a", "b"}).size(), 2u);
}

TEST(NERDecode, AFailedBulkKeepsTheTagsOfTheDocumentsBeforeIt) {
  // As when the documents are processed one by one: the middle document
  // fails, the first keeps its tags, the middle and the last stay untagged.
  const NERPlan plan(ner_fixture("models/charlstm_l1"), false);
  std::vector<Document> documents = {test::document_of({{{"Paris"}, {"is"}, {"big"}}}),
                                     test::document_of({{{"a"}, {"d\xFF"}}}),
                                     test::document_of({{{"London"}}})};
  const std::vector<Document> handles = documents;
  EXPECT_EQ(test::message_of<std::invalid_argument>([&] { plan.process_bulk(documents); }),
            "invalid UTF-8 sequence at byte offset 1");
  EXPECT_EQ(test::written_tags(handles[0]).front(), plan.tag({"Paris", "is", "big"}));
  for (const Document& untouched : {handles[1], handles[2]}) {
    const TokenSequence tokens = untouched.sentences().at(0).tokens();
    for (std::uint64_t t = 0; t < tokens.size(); ++t) {
      EXPECT_EQ(tokens.at(static_cast<std::int64_t>(t)).ner(), std::nullopt);
    }
  }
}

} // namespace
} // namespace velmora
