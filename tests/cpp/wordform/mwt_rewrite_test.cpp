// The document rewrite of the expander: marked tokens, manually expanded
// tokens and ordinary tokens side by side, renumbering, MISC handling, what
// the rebuild keeps and drops, and failure before the rebuild.
//
// The documents are built from the records the tokenizer produces: one word
// per token with the token's text and offsets, and "MWT=Yes" in the MISC of a
// marked token and of its word.

#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <velmora/document.hpp>
#include <velmora/mwt.hpp>

#include "test_support.hpp"

namespace velmora {
namespace {

// Dictionary: du -> "de le", a -> "à la", solo -> "solo", leer -> "".
MWTPlan dictionary_plan() {
  return MWTPlan(test::fixture("wordform/mwt_dict/bundle"), false);
}

// A token as the tokenizer makes it: one word with the same text, offsets
// and MISC.
TokenInput tokenized(std::int32_t id, const std::string& text, std::uint32_t start,
                     std::optional<std::string> misc = std::nullopt) {
  TokenInput token;
  token.first_id = token.last_id = id;
  token.text = text;
  token.misc = misc;
  token.start_char = start;
  token.end_char = start + static_cast<std::uint32_t>(Utf8Text(text).codepoint_count());
  WordInput& word = token.words.emplace_back();
  word.id = id;
  word.text = text;
  word.misc = misc;
  word.start_char = token.start_char;
  word.end_char = token.end_char;
  return token;
}

WordInput word_input(std::int32_t id, const std::string& text) {
  WordInput word;
  word.id = id;
  word.text = text;
  return word;
}

struct ExpectedWord {
  std::int32_t id;
  std::string text;
  std::optional<std::uint32_t> start;
  std::optional<std::uint32_t> end;
};

void expect_words(const Sentence& sentence, const std::vector<ExpectedWord>& expected) {
  const WordSequence words = sentence.words();
  ASSERT_EQ(words.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const Word word = words.at(static_cast<std::int64_t>(i));
    SCOPED_TRACE("word " + expected[i].text);
    EXPECT_EQ(word.id(), expected[i].id);
    EXPECT_EQ(word.text(), expected[i].text);
    EXPECT_EQ(word.start_char(), expected[i].start);
    EXPECT_EQ(word.end_char(), expected[i].end);
  }
}

//           0         1         2         3
//           0123456789012345678901234567890
// Text:     ab du cd solo leer ef gh. A du.
Document mixed_document() {
  std::vector<SentenceInput> sentences(2);
  SentenceInput& first = sentences[0];
  TokenInput ab = tokenized(1, "ab", 0);
  WordInput& ab_word = ab.words[0];
  ab_word.lemma = "ab";
  ab_word.upos = "NOUN";
  ab_word.head = 3;
  ab_word.deprel = "nsubj";
  ab_word.deps = "3:nsubj";
  ab_word.misc = "Foo=1";
  first.tokens.push_back(ab);
  first.tokens.push_back(tokenized(2, "du", 3, "SpaceAfter=No|MWT=Yes"));
  // Expanded by hand as ids 3-4 (as if "du" were one word).
  TokenInput cd = tokenized(3, "cd", 6);
  cd.last_id = 4;
  cd.manual_expansion = true;
  cd.words = {word_input(3, "c"), word_input(4, "d")};
  cd.words[0].lemma = "c";
  cd.words[0].head = 1;
  cd.words[0].manual_expansion = true;
  first.tokens.push_back(cd);
  first.tokens.push_back(tokenized(5, "solo", 9, "MWT=Yes"));
  first.tokens.push_back(tokenized(6, "leer", 14, "MWT=Yes||Foo"));
  first.tokens.push_back(tokenized(7, "ef", 19, "mwt=yes"));
  TokenInput gh = tokenized(8, "gh", 22);
  gh.words.clear();
  first.tokens.push_back(gh);
  first.tokens.push_back(tokenized(9, ".", 24));
  WordInput empty = word_input(2, "pro");
  empty.empty_index = 1;
  first.empty_words.push_back(empty);
  first.sent_id = "s1";

  SentenceInput& second = sentences[1];
  second.tokens.push_back(tokenized(1, "A", 26, "MWT=Yes"));
  second.tokens.push_back(tokenized(2, "du", 28, "MWT=Yes"));
  second.tokens.push_back(tokenized(3, ".", 30));
  second.comments = {"# note"};

  Document document("ab du cd solo leer ef gh. A du.", std::move(sentences));
  document.set_lang("fr");
  return document;
}

TEST(MWTRewriteTest, MarkedManualAndOrdinaryTokensInOneSentence) {
  const Document document = mixed_document();
  const Document handle = document; // another handle on the same storage
  const Document result = dictionary_plan().process(document);
  ASSERT_TRUE(result.same_storage(document));
  ASSERT_EQ(handle.sentences().size(), 2U);
  EXPECT_EQ(handle.lang(), "fr");

  const Sentence first = handle.sentences().at(0);
  expect_words(first, {{1, "ab", 0, 2},
                       {2, "de", {}, {}},
                       {3, "le", {}, {}},
                       {4, "c", {}, {}},
                       {5, "d", {}, {}},
                       {6, "solo", 9, 13},
                       {7, "leer", 14, 18},
                       {8, "ef", 19, 21},
                       {9, "gh", 22, 24},
                       {10, ".", 24, 25}});
  const TokenSequence tokens = first.tokens();
  ASSERT_EQ(tokens.size(), 8U);
  const std::vector<std::pair<std::int32_t, std::int32_t>> ranges = {
      {1, 1}, {2, 3}, {4, 5}, {6, 6}, {7, 7}, {8, 8}, {9, 9}, {10, 10}};
  for (std::size_t i = 0; i < ranges.size(); ++i) {
    EXPECT_EQ(tokens.at(static_cast<std::int64_t>(i)).id_range(), ranges[i]) << i;
  }

  // Ordinary token: annotations stay, the tree goes.
  const Word ab = first.words().at(0);
  EXPECT_EQ(ab.lemma(), "ab");
  EXPECT_EQ(ab.upos(), "NOUN");
  EXPECT_EQ(ab.misc(), "Foo=1");
  EXPECT_FALSE(ab.head());
  EXPECT_FALSE(ab.deprel());
  EXPECT_FALSE(ab.deps());

  // Marked token: the token keeps its text and offsets, loses the mark; its
  // words are bare.
  const Token du = tokens.at(1);
  EXPECT_EQ(du.text(), "du");
  EXPECT_EQ(du.misc(), "SpaceAfter=No");
  EXPECT_EQ(du.start_char(), 3U);
  EXPECT_EQ(du.end_char(), 5U);
  const Word de = first.words().at(1);
  EXPECT_FALSE(de.misc());
  EXPECT_FALSE(de.lemma());
  EXPECT_FALSE(de.manual_expansion());

  // Manually expanded token: moved, words intact, its own flag cleared.
  const Token cd = tokens.at(2);
  EXPECT_FALSE(cd.manual_expansion());
  const Word c = first.words().at(3);
  EXPECT_EQ(c.lemma(), "c");
  EXPECT_EQ(c.head(), 1);
  EXPECT_EQ(c.manual_expansion(), true);

  // One-piece expansions keep the token's form; the mark goes from MISC.
  EXPECT_FALSE(tokens.at(3).misc());
  EXPECT_EQ(tokens.at(4).misc(), "Foo");
  // mwt=yes is not the mark.
  EXPECT_EQ(tokens.at(5).misc(), "mwt=yes");
  EXPECT_EQ(first.words().at(7).misc(), "mwt=yes");

  // Empty words and sentence members pass unchanged.
  ASSERT_EQ(first.empty_words().size(), 1U);
  EXPECT_EQ(first.empty_words().at(0).id(), 2);
  EXPECT_EQ(first.empty_words().at(0).empty_index(), 1);
  EXPECT_EQ(first.sent_id(), "s1");
  EXPECT_EQ(first.text(), "ab du cd solo leer ef gh.");

  // The next sentence counts from 1 again; "A" expands by the upper-case
  // rule.
  const Sentence second = handle.sentences().at(1);
  expect_words(second, {{1, "À", {}, {}},
                        {2, "LA", {}, {}},
                        {3, "de", {}, {}},
                        {4, "le", {}, {}},
                        {5, ".", 30, 31}});
  EXPECT_EQ(second.sent_id(), "1");
  EXPECT_EQ(second.comments(), std::vector<std::string>{"# note"});
  for (std::uint64_t i = 0; i < handle.num_tokens(); ++i) {
    const std::optional<std::string> misc = handle.tokens().at(static_cast<std::int64_t>(i)).misc();
    EXPECT_EQ(misc.value_or("").find("MWT=Yes"), std::string::npos);
  }
}

TEST(MWTRewriteTest, RebuildDropsTreesAndCoreferenceEvenWithoutMarks) {
  std::vector<SentenceInput> sentences(1);
  sentences[0].tokens = {tokenized(1, "ab", 0), tokenized(2, "cd", 3)};
  sentences[0].tokens[1].words[0].upos = "VERB";
  sentences[0].tokens[1].words[0].feats = "Mood=Ind";
  Document document("ab cd", std::move(sentences));
  document.set_coref({CorefChain(0, {CorefMention(0, {0, {}}, {2, {}})}, "ab cd", 0)});
  auto leaf =
      std::make_shared<const TreeNode>("ab", std::vector<std::shared_ptr<const TreeNode>>{});
  document.sentences().at(0).set_constituency(
      ConstituencyTree(std::make_shared<const TreeNode>("ROOT", std::vector{leaf})));
  ASSERT_EQ(document.coref().size(), 1U);

  dictionary_plan().process(document);
  EXPECT_TRUE(document.coref().empty());
  EXPECT_TRUE(document.words().at(0).coref_chains().empty());
  EXPECT_FALSE(document.sentences().at(0).constituency());
  EXPECT_EQ(document.words().at(1).upos(), "VERB");
  EXPECT_EQ(document.words().at(1).feats(), "Mood=Ind");
}

TEST(MWTRewriteTest, EmptyDocumentKeepsItsLanguage) {
  Document document("some text");
  document.set_lang("de");
  const Document result = dictionary_plan().process(document);
  EXPECT_TRUE(result.same_storage(document));
  EXPECT_EQ(result.sentences().size(), 0U);
  EXPECT_EQ(result.lang(), "de");
  EXPECT_EQ(result.text(), "some text");
}

TEST(MWTRewriteTest, FailedExpansionLeavesTheDocumentUnchanged) {
  std::vector<SentenceInput> sentences(1);
  sentences[0].tokens = {tokenized(1, "du", 0, "MWT=Yes"), tokenized(2, "x", 3)};
  // A token text that is not UTF-8 (the document text itself is).
  sentences[0].tokens.push_back(tokenized(3, "ab", 5, "MWT=Yes"));
  sentences[0].tokens.back().text = "a\xC3";
  Document document("du x ab", std::move(sentences));
  EXPECT_THROW(dictionary_plan().process(document), std::invalid_argument);
  EXPECT_EQ(document.num_words(), 3U);
  EXPECT_EQ(document.words().at(0).text(), "du");
  EXPECT_EQ(document.tokens().at(0).misc(), "MWT=Yes");
}

TEST(MWTRewriteTest, PreviouslyExpandedTokensStayDistinct) {
  // A second run over an expanded document: the two words of "du" are
  // neither marked nor manual; they keep consecutive ids.
  std::vector<SentenceInput> sentences(1);
  sentences[0].tokens = {tokenized(1, "x", 0), tokenized(2, "du", 2, "MWT=Yes"),
                         tokenized(3, "y", 5)};
  Document document("x du y", std::move(sentences));
  const MWTPlan plan = dictionary_plan();
  plan.process(document);
  plan.process(document);
  expect_words(document.sentences().at(0),
               {{1, "x", 0, 1}, {2, "de", {}, {}}, {3, "le", {}, {}}, {4, "y", 5, 6}});
  EXPECT_EQ(document.tokens().at(1).id_range(), (std::pair<std::int32_t, std::int32_t>{2, 3}));
}

// An expansion longer than any short-string buffer: the words are cut from
// it after the expander returns, so it must still be alive then.
TEST(MWTRewriteTest, LongExpansionGivesOneWordPerPiece) {
  const std::string text = "abcdefghijklmnopqrstuvwxyzäöüß";
  std::vector<SentenceInput> sentences(1);
  sentences[0].tokens.push_back(tokenized(1, text, 0, "MWT=Yes"));
  const Document result = MWTPlan(test::fixture("wordform/mwt_spaces/bundle"), false)
                              .process(Document(text, std::move(sentences)));
  const Utf8Text letters(text);
  std::vector<ExpectedWord> expected;
  for (std::size_t i = 0; i < letters.codepoint_count(); ++i) {
    expected.push_back(
        {static_cast<std::int32_t>(i + 1), letters.slice(i, i + 1), std::nullopt, std::nullopt});
  }
  expect_words(result.sentences().at(0), expected);
}

} // namespace
} // namespace velmora
