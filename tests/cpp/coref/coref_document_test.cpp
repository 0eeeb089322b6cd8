// Predictions written into documents: mention order and representatives,
// zero mentions and their empty words, refused spans, and process() as one
// all-or-nothing edit.

#include <gtest/gtest.h>

#include <sstream>

#include "coref/coref_impl.hpp"
#include "coref_test_support.hpp"

namespace velmora {
namespace {

using test::coref_fixture;
using Spans = std::vector<std::pair<std::size_t, std::size_t>>;

// Sentence 0: "the dog saw Mr. Smith" (rows 0-4), sentence 1: "He left it ."
// (rows 5-8); sentence 0 has the input empty word 1.1, sentence 1 the input
// empty word 0.2.
Document two_sentences() {
  SentenceInput first = test::make_sentence({"the", "dog", "saw", "Mr.", "Smith"});
  const char* tags[] = {"DET", "NOUN", "VERB", "PROPN", "PROPN"};
  for (std::size_t w = 0; w < 5; ++w) {
    first.tokens[w].words[0].upos = tags[w];
  }
  first.empty_words = {test::make_empty_word(1, 1, "pro")};
  SentenceInput second = test::make_sentence({"He", "left", "it", "."});
  second.empty_words = {test::make_empty_word(0, 2, "pro")};
  return Document("", {first, second});
}

CorefPrediction prediction(std::vector<std::vector<std::size_t>> words, std::vector<Spans> spans,
                           std::vector<std::vector<std::size_t>> zeros) {
  return {std::move(words), std::move(spans), std::move(zeros)};
}

std::vector<std::string> chains_of(const detail::CorefDocumentEdit& edit) {
  std::vector<std::string> out;
  for (const CorefChain& chain : edit.chains) {
    out.push_back(std::to_string(chain.index()) + "#" + test::chain_text(chain));
  }
  return out;
}

TEST(CorefDocument, MentionsSortedAndRepresentativesChosen) {
  const Document document = two_sentences();
  const detail::CorefDocumentEdit edit = detail::coref_document_edit(
      *document.storage(),
      prediction({{5, 7}, {1, 4}, {0, 3}}, {{{7, 9}, {5, 7}}, {{0, 2}, {3, 5}}, {{0, 2}, {2, 5}}},
                 {{}, {}, {}}));
  EXPECT_TRUE(edit.empty_words.empty());
  EXPECT_EQ(chains_of(edit), (std::vector<std::string>{// Equal length and proper nouns: the first.
                                                       "0#He left|0|1:0-2 1:2-4 ",
                                                       // Equal length: more proper nouns.
                                                       "1#Mr. Smith|1|0:0-2 0:3-5 ",
                                                       // Longer wins.
                                                       "2#saw Mr. Smith|1|0:0-2 0:2-5 "}));
}

TEST(CorefDocument, ZeroMentionsBecomeEmptyWords) {
  const Document document = two_sentences();
  const detail::CorefDocumentEdit edit = detail::coref_document_edit(
      *document.storage(),
      prediction({{1, 3}, {5}, {5, 6}}, {{{1, 2}, {3, 5}}, {{5, 6}}, {{6, 7}, {5, 6}}},
                 {{1, 3}, {5}, {6}}));
  // Empty words are numbered after their own word: the input word 1.1 makes
  // the zero before word 1 the second there, while the one before word 3 is
  // the first of its own. Sentence 1's input word holds 0.2, so word 0 takes
  // the next index free for it. The zero head 6 keeps its own span (5, 6)
  // through the sort.
  EXPECT_EQ(chains_of(edit), (std::vector<std::string>{"0#_|-|0:1.2 0:3.1 ", "1#_|-|1:0.3 ",
                                                       "2#left|1|1:1.1 1:1-2 "}));
  std::vector<std::string> added;
  for (const auto& [sentence, word] : edit.empty_words) {
    added.push_back(std::to_string(sentence) + ":" + std::to_string(word.id) + "." +
                    std::to_string(*word.empty_index) + ":" + word.text + ":" + *word.lemma);
    EXPECT_FALSE(word.upos || word.head || word.misc || word.start_char);
  }
  EXPECT_EQ(added, (std::vector<std::string>{"0:1.2:_:_", "0:3.1:_:_", "1:0.3:_:_", "1:1.1:_:_"}));
}

TEST(CorefDocument, EmptyWordsWrittenInReadingOrder) {
  const Document document = two_sentences();
  // Planned in chain order: 3.1, then 0.1.
  detail::apply_coref_document_edit(
      *document.storage(),
      detail::coref_document_edit(*document.storage(),
                                  prediction({{3}, {0}}, {{{3, 4}}, {{0, 1}}}, {{3}, {0}})));
  std::vector<std::string> ids;
  std::istringstream lines(document.sentences().at(0).to_conll());
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line[0] != '#') {
      ids.push_back(line.substr(0, line.find('\t')));
    }
  }
  EXPECT_EQ(ids, (std::vector<std::string>{"0.1", "1", "1.1", "2", "3", "3.1", "4", "5"}));
}

TEST(CorefDocument, RefusesSpansOutsideOneSentence) {
  const Document document = two_sentences();
  for (const auto& [span, zero] :
       std::initializer_list<std::pair<std::pair<std::size_t, std::size_t>, bool>>{
           {{4, 6}, false}, {{3, 3}, false}, {{4, 3}, false}, {{8, 10}, false}, {{5, 7}, true}}) {
    // The zero case: head 0 lies in sentence 0, its span in sentence 1.
    const CorefPrediction bad = prediction({{0, 1}}, {{{0, 1}, span}}, {{}});
    const CorefPrediction bad_zero = prediction({{0}}, {{span}}, {{0}});
    EXPECT_EQ(test::message_of<CorefModelError>(
                  [&] { detail::coref_document_edit(*document.storage(), zero ? bad_zero : bad); }),
              "coref span crossed a sentence boundary");
  }
}

TEST(CorefDocument, ProcessIsAllOrNothing) {
  const CorefPlan plan(coref_fixture("models/bpe_all"), false);
  const detail::JsonValue& documents = test::coref_reference().at("documents");
  Document document = test::reference_document(documents.as_array().at(7), true);
  plan.process(document);
  const std::vector<std::string> chains = test::chain_texts(document);
  const std::vector<std::string> empties = test::empty_word_texts(document);
  ASSERT_FALSE(chains.empty());
  ASSERT_GT(empties.size(), 0u); // zero mentions were added

  document.words().at(4).set_text("<blank>");
  EXPECT_EQ(test::message_of<CorefModelError>([&] { plan.process(document); }),
            "coref tokenizer produced a blank word at index 4");
  EXPECT_EQ(test::chain_texts(document), chains);
  EXPECT_EQ(test::empty_word_texts(document), empties);
}

TEST(CorefDocument, SentencesWithoutWordsAndSpeakers) {
  const CorefPlan plan(coref_fixture("models/bpe_pairwise"), false);
  const detail::JsonValue& source = test::coref_reference().at("documents").as_array().at(1);
  Document plain = test::reference_document(source, false);
  plan.process(plain);
  ASSERT_FALSE(plain.coref().empty());

  // A sentence without words in between shifts the later mentions' sentence
  // and changes nothing else.
  std::vector<SentenceInput> inputs;
  for (const detail::JsonValue& sentence : source.at("sentences").as_array()) {
    std::vector<std::string> words;
    for (const detail::JsonValue& word : sentence.at("words").as_array()) {
      words.push_back(word.as_string());
    }
    inputs.push_back(test::make_sentence(words));
    if (inputs.size() == 1) {
      inputs.emplace_back();
    }
  }
  Document gapped("", inputs);
  plan.process(gapped);
  ASSERT_EQ(gapped.coref().size(), plain.coref().size());
  for (std::size_t c = 0; c < plain.coref().size(); ++c) {
    const auto& want = plain.coref()[c]->mentions();
    const auto& got = gapped.coref()[c]->mentions();
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t m = 0; m < want.size(); ++m) {
      EXPECT_EQ(got[m].sentence(), want[m].sentence() == 0 ? 0 : want[m].sentence() + 1);
      EXPECT_EQ(got[m].start_word().word, want[m].start_word().word);
    }
  }

  // A sentence without a speaker speaks as "_".
  for (SentenceInput& sentence : inputs) {
    sentence.speaker = "_";
  }
  Document spoken("", inputs);
  plan.process(spoken);
  EXPECT_EQ(test::chain_texts(spoken), test::chain_texts(gapped));
}

TEST(CorefDocument, BulkEqualsOneByOneAndRunsDoNotAccumulate) {
  const CorefPlan plan(coref_fixture("models/xlmr_zeros"), false);
  const detail::JsonValue::Array& documents = test::coref_reference().at("documents").as_array();
  std::vector<Document> single;
  std::vector<Document> bulk;
  for (std::size_t d = 0; d < std::min<std::size_t>(documents.size(), 40); ++d) {
    single.push_back(plan.process(test::reference_document(documents[d], false)));
    bulk.push_back(test::reference_document(documents[d], false));
  }
  bulk = plan.process_bulk(std::move(bulk));
  std::size_t with_empty_words = 0;
  for (std::size_t d = 0; d < single.size(); ++d) {
    const std::vector<std::string> chains = test::chain_texts(single[d]);
    const std::vector<std::string> empties = test::empty_word_texts(single[d]);
    with_empty_words += empties.empty() ? 0 : 1;
    EXPECT_EQ(test::chain_texts(bulk[d]), chains);
    EXPECT_EQ(test::empty_word_texts(bulk[d]), empties);
    plan.process(single[d]);
    EXPECT_EQ(test::chain_texts(single[d]), chains);
    EXPECT_EQ(test::empty_word_texts(single[d]), empties);
  }
  EXPECT_GT(with_empty_words, 0u);
}

} // namespace
} // namespace velmora
