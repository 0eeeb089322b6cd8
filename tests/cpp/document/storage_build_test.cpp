#include <stdexcept>

#include <gtest/gtest.h>

#include "storage_test_support.hpp"

namespace velmora {
namespace {

using test::make_empty_word;
using test::make_sentence;
using test::make_token;
using test::make_word;

TEST(StorageBuild, EmptyInputsGiveAnEmptyStorage) {
  Document doc("", {});
  const DocumentStorage& s = *doc.storage();
  EXPECT_EQ(doc.sentences().size(), 0u);
  EXPECT_EQ(s.sentence_token_offsets, std::vector<std::uint32_t>{0});
  EXPECT_EQ(s.sentence_span_offsets, std::vector<std::uint32_t>{0});
  EXPECT_EQ(s.regular_word_count, 0u);
  EXPECT_EQ(s.built_word_count, 0u);
  EXPECT_EQ(doc.ents().size(), 0u);
  EXPECT_EQ(doc.to_conll(), "");
}

TEST(StorageBuild, SentencesWithoutTokensAndDefaultIds) {
  SentenceInput named = make_sentence({"a"});
  named.sent_id = "first";
  SentenceInput titled;
  titled.text = "";
  Document doc("", {named, SentenceInput{}, titled});
  const DocumentStorage& s = *doc.storage();
  EXPECT_EQ(s.sentence_token_offsets, (std::vector<std::uint32_t>{0, 1, 1, 1}));
  EXPECT_EQ(s.sentence_word_offsets, (std::vector<std::uint32_t>{0, 1, 1, 1}));
  EXPECT_EQ(doc.sentences().at(0).sent_id(), "first");
  EXPECT_EQ(doc.sentences().at(1).sent_id(), "1");
  EXPECT_EQ(doc.sentences().at(2).sent_id(), "2");
  // No tokens and no text: absent; an input text is kept even when empty.
  EXPECT_EQ(s.sentence_text[1], kAbsentString);
  EXPECT_EQ(s.sentence_text[2], 0u);
  EXPECT_EQ(doc.sentences().at(1).text(), "");
}

TEST(StorageBuild, WordOffsetsComeFromSingleWordTokensOnly) {
  TokenInput mwt;
  mwt.first_id = 1;
  mwt.last_id = 2;
  mwt.text = "del";
  mwt.start_char = 0;
  mwt.end_char = 3;
  mwt.words = {make_word(1, "de"), make_word(2, "el")};
  TokenInput single = make_token(3, "x");
  single.start_char = 4;
  single.end_char = 5;
  single.words[0].end_char = 9; // the word's own end wins; its start is inherited
  SentenceInput sentence;
  sentence.tokens = {mwt, single};
  Document doc("del x", {sentence});
  WordSequence words = doc.words();
  EXPECT_EQ(words.at(0).start_char(), std::nullopt);
  EXPECT_EQ(words.at(1).end_char(), std::nullopt);
  EXPECT_EQ(words.at(2).start_char(), 4u);
  EXPECT_EQ(words.at(2).end_char(), 9u);
  EXPECT_TRUE(doc.tokens().at(0).is_mwt());
}

TEST(StorageBuild, WhitespaceIsDerivedFromTheText) {
  // 13 code points; "é" and "ö" take two bytes each.
  SentenceInput sentence = make_sentence({"Héllo", "wörld", "!"});
  const std::uint32_t bounds[3][2] = {{0, 5}, {7, 12}, {12, 13}};
  for (int t = 0; t < 3; ++t) {
    sentence.tokens[t].start_char = bounds[t][0];
    sentence.tokens[t].end_char = bounds[t][1];
    sentence.tokens[t].spaces_before = "?";
    sentence.tokens[t].spaces_after = "?";
  }
  Document doc("Héllo  wörld!", {sentence});
  TokenSequence tokens = doc.tokens();
  EXPECT_EQ(tokens.at(0).spaces_before(), "");
  EXPECT_EQ(tokens.at(0).spaces_after(), "  ");
  EXPECT_EQ(tokens.at(1).spaces_after(), "");
  EXPECT_EQ(tokens.at(2).spaces_after(), "");
  // Only the document's first token takes its spaces before from the text.
  EXPECT_EQ(tokens.at(1).spaces_before(), "?");
  EXPECT_EQ(doc.sentences().at(0).text(), "Héllo  wörld!");

  sentence.tokens.resize(1);
  sentence.tokens[0].start_char = 2;
  sentence.tokens[0].end_char = 4;
  Document padded(" \tab\n", {sentence});
  EXPECT_EQ(padded.tokens().at(0).spaces_before(), " \t");
  EXPECT_EQ(padded.tokens().at(0).spaces_after(), "\n");
}

TEST(StorageBuild, WhitespaceKeepsTheInputWhenTheNextStartIsUnknown) {
  SentenceInput sentence = make_sentence({"ab", "cd", "ef"});
  for (TokenInput& token : sentence.tokens) {
    token.spaces_after = "#";
  }
  sentence.tokens[0].start_char = 0;
  sentence.tokens[0].end_char = 2;
  sentence.tokens[2].start_char = 6;
  sentence.tokens[2].end_char = 8;
  Document doc("ab cd ef", {sentence});
  EXPECT_EQ(doc.tokens().at(0).spaces_after(), "#"); // not " cd ef"
  EXPECT_EQ(doc.tokens().at(1).spaces_after(), "#");
  EXPECT_EQ(doc.tokens().at(2).spaces_after(), "");

  // A next start beyond the text is as unknown as a missing one.
  sentence.tokens[1].start_char = 50;
  Document beyond("ab cd ef", {sentence});
  EXPECT_EQ(beyond.tokens().at(0).spaces_after(), "#");
}

TEST(StorageBuild, SentenceTextRules) {
  SentenceInput sentence = make_sentence({"ab", "cd"});
  sentence.tokens[1].spaces_before = " ";
  sentence.tokens[1].spaces_after = "  ";
  sentence.tokens[0].start_char = 0;
  sentence.tokens[1].end_char = 5;

  Document sliced("ab cd", {sentence});
  EXPECT_EQ(sliced.sentences().at(0).text(), "ab cd");

  // An end past the text falls back to the tokens and the input whitespace.
  Document joined("ab", {sentence});
  EXPECT_EQ(joined.sentences().at(0).text(), "ab cd  ");

  sentence.tokens[0].start_char.reset();
  Document no_start("ab cd", {sentence});
  EXPECT_EQ(no_start.sentences().at(0).text(), "ab cd  ");
  // Between two tokens stand the first one's spaces after, then the second
  // one's spaces before.
  sentence.tokens[0].spaces_after = "_";
  EXPECT_EQ(Document("", {sentence}).sentences().at(0).text(), "ab_ cd  ");

  sentence.text = "given";
  Document given("ab cd", {sentence});
  EXPECT_EQ(given.sentences().at(0).text(), "given");
}

TEST(StorageBuild, InvalidRecordsAreRefused) {
  auto build = [](SentenceInput sentence) { Document doc("", {sentence}); };
  SentenceInput s = make_sentence({"a"});
  s.tokens[0].first_id = 0;
  EXPECT_THROW_MESSAGE(build(s), std::invalid_argument, "a token has an invalid ID range");
  s = make_sentence({"a"});
  s.tokens[0].last_id = 0;
  EXPECT_THROW_MESSAGE(build(s), std::invalid_argument, "a token has an invalid ID range");
  s = make_sentence({"a"});
  s.tokens[0].text.clear();
  EXPECT_THROW_MESSAGE(build(s), std::invalid_argument, "a token must have non-empty text");

  const char* word_message = "a word must have a positive ID and non-empty text";
  s = make_sentence({"a"});
  s.tokens[0].words[0].id = 0;
  EXPECT_THROW_MESSAGE(build(s), std::invalid_argument, word_message);
  s = make_sentence({"a"});
  s.tokens[0].words[0].empty_index = 1;
  EXPECT_THROW_MESSAGE(build(s), std::invalid_argument, word_message);
  s = make_sentence({"a"});
  s.tokens[0].words[0].text.clear();
  EXPECT_THROW_MESSAGE(build(s), std::invalid_argument, word_message);

  // Records are checked in input order: the first offending one decides.
  s = make_sentence({"a", "b"});
  s.tokens[0].words[0].text.clear();
  s.tokens[1].first_id = -1;
  EXPECT_THROW_MESSAGE(build(s), std::invalid_argument, word_message);

  s = make_sentence({"a"});
  s.empty_words.push_back(make_empty_word(1, 0, "e"));
  EXPECT_THROW(build(s), std::invalid_argument);
  EXPECT_THROW_MESSAGE(Document("\xC0\xAF", {}), std::invalid_argument,
                       "invalid UTF-8 sequence at byte offset 0");
}

TEST(StorageBuild, EmptyWordsFollowEveryRegularWord) {
  SentenceInput first = make_sentence({"a", "b"});
  first.empty_words.push_back(make_empty_word(1, 1, "e1"));
  SentenceInput second = make_sentence({"c"});
  second.empty_words.push_back(make_empty_word(0, 1, "e0"));
  Document doc("", {first, second});
  const DocumentStorage& s = *doc.storage();
  EXPECT_EQ(s.regular_word_count, s.sentence_word_offsets.back());
  EXPECT_EQ(s.regular_word_count, 3u);
  EXPECT_EQ(s.built_word_count, 5u);
  EXPECT_EQ(s.sentence_empty_words, (std::vector<std::vector<std::uint32_t>>{{3}, {4}}));
  EXPECT_EQ(s.word_token[3], kNoToken);
  EXPECT_EQ(doc.num_words(), 3u);
}

} // namespace
} // namespace velmora
