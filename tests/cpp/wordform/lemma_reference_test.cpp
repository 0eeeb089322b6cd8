// Lemmas checked against the reference of the fixture generator
// (gen_wordform.py): the dictionary rules applied in Python over the outputs
// of a PyTorch seq2seq model, for a dictionary-only bundle, a dictionary with
// a POS model and edit classes, and a model-only bundle without POS. The
// generator keeps only words whose model decisions are clear of rounding.

#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <velmora/json.hpp>
#include <velmora/lemma.hpp>

#include "test_support.hpp"

namespace velmora {
namespace {

struct LemmaCase {
  std::string word;
  std::optional<std::string> upos;
  std::string lemma;
};

std::vector<LemmaCase> reference_cases(const std::string& name) {
  const detail::JsonValue reference =
      detail::load_json(test::fixture("wordform/" + name + "/reference.json"));
  std::vector<LemmaCase> cases;
  for (const detail::JsonValue& item : reference.at("cases").as_array()) {
    LemmaCase& entry = cases.emplace_back();
    entry.word = item.at("word").as_string();
    if (!item.at("upos").is_null()) {
      entry.upos = item.at("upos").as_string();
    }
    entry.lemma = item.at("lemma").as_string();
  }
  return cases;
}

// The cases as documents of sentences of up to five words, `per_document`
// words per document.
std::vector<Document> documents_of(const std::vector<LemmaCase>& cases, std::size_t per_document) {
  std::vector<Document> documents;
  for (std::size_t first = 0; first < cases.size(); first += per_document) {
    std::vector<SentenceInput> sentences;
    std::string text;
    const std::size_t end = std::min(cases.size(), first + per_document);
    for (std::size_t i = first; i < end; ++i) {
      if ((i - first) % 5 == 0) {
        sentences.emplace_back();
      }
      SentenceInput& sentence = sentences.back();
      const auto id = static_cast<std::int32_t>(sentence.tokens.size() + 1);
      TokenInput& token = sentence.tokens.emplace_back();
      token.first_id = token.last_id = id;
      token.text = cases[i].word;
      WordInput& word = token.words.emplace_back();
      word.id = id;
      word.text = cases[i].word;
      word.upos = cases[i].upos;
      text += cases[i].word + " ";
    }
    documents.emplace_back(text, std::move(sentences));
  }
  return documents;
}

void expect_lemmas(const std::vector<Document>& documents, const std::vector<LemmaCase>& cases) {
  std::size_t next = 0;
  for (const Document& document : documents) {
    const WordSequence words = document.words();
    for (std::uint64_t i = 0; i < words.size(); ++i, ++next) {
      ASSERT_LT(next, cases.size());
      EXPECT_EQ(words.at(static_cast<std::int64_t>(i)).lemma(), cases[next].lemma)
          << "word " << next << " '" << cases[next].word << "'";
    }
  }
  EXPECT_EQ(next, cases.size());
}

class LemmaReferenceTest : public ::testing::TestWithParam<const char*> {
protected:
  LemmaPlan plan() const {
    return LemmaPlan(test::fixture(std::string("wordform/") + GetParam() + "/bundle"), true);
  }
};

TEST_P(LemmaReferenceTest, LemmatizeMatchesTheReference) {
  const std::vector<LemmaCase> cases = reference_cases(GetParam());
  ASSERT_GT(cases.size(), 250U);
  const LemmaPlan lemmatizer = plan();
  for (const LemmaCase& entry : cases) {
    EXPECT_EQ(lemmatizer.lemmatize(entry.word, entry.upos), entry.lemma)
        << "'" << entry.word << "' " << entry.upos.value_or("(no UPOS)");
  }
}

TEST_P(LemmaReferenceTest, ProcessAndBulkWriteTheReferenceLemmas) {
  const std::vector<LemmaCase> cases = reference_cases(GetParam());
  const LemmaPlan lemmatizer = plan();

  std::vector<Document> single = documents_of(cases, 97);
  for (Document& document : single) {
    const Document result = lemmatizer.process(document);
    EXPECT_TRUE(result.same_storage(document));
  }
  expect_lemmas(single, cases);

  // Bulk: dictionary answers and model answers of several documents come
  // back to the right words across document boundaries.
  const std::vector<Document> inputs = documents_of(cases, 97);
  const std::vector<Document> bulk = lemmatizer.process_bulk(inputs);
  ASSERT_EQ(bulk.size(), inputs.size());
  for (std::size_t i = 0; i < bulk.size(); ++i) {
    EXPECT_TRUE(bulk[i].same_storage(inputs[i]));
  }
  expect_lemmas(bulk, cases);
}

INSTANTIATE_TEST_SUITE_P(Bundles, LemmaReferenceTest,
                         ::testing::Values("lemma_dict", "lemma_ensemble", "lemma_model"));

} // namespace
} // namespace velmora
