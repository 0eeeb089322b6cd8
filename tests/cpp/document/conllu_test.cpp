#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "storage_test_support.hpp"

namespace velmora {
namespace {

using test::make_empty_word;
using test::make_word;

// Single-word tokens numbered from 1, each followed by one space: the
// spacing that no MISC piece stands for.
SentenceInput make_sentence(const std::vector<std::string>& forms) {
  SentenceInput sentence = test::make_sentence(forms);
  for (TokenInput& token : sentence.tokens) {
    token.spaces_after = " ";
  }
  return sentence;
}

TEST(Conllu, PlainSentence) {
  SentenceInput sentence = make_sentence({"Hi", "there"});
  sentence.sent_id = "s1";
  sentence.text = "Hi there";
  Document doc("Hi there", {sentence});
  EXPECT_EQ(doc.to_conll(), "# sent_id = s1\n"
                            "# text = Hi there\n"
                            "1\tHi\t_\t_\t_\t_\t_\t_\t_\t_\n"
                            "2\tthere\t_\t_\t_\t_\t_\t_\t_\t_");
  EXPECT_EQ(doc.sentences().at(0).to_conll(), doc.to_conll());
}

TEST(Conllu, SentenceSeparatorsAndCommentRules) {
  SentenceInput stored = make_sentence({"a"});
  stored.comments = {"# sent_id = mine", "# text = my text"};
  SentenceInput newdoc = make_sentence({"b"});
  newdoc.comments = {"# newdoc id = d1"};
  newdoc.text = "b";
  SentenceInput bare;
  bare.text = "";
  Document doc("", {stored, newdoc, bare});
  EXPECT_EQ(doc.to_conll(), "# sent_id = mine\n# text = my text\n1\ta\t_\t_\t_\t_\t_\t_\t_\t_\n\n"
                            "# newdoc id = d1\n# sent_id = 1\n# text = b\n"
                            "1\tb\t_\t_\t_\t_\t_\t_\t_\t_\n\n"
                            "# sent_id = 2\n");
  // An empty stored sent_id is still written as the sentence's id.
  SentenceInput unnamed = make_sentence({"c"});
  unnamed.sent_id = "";
  EXPECT_EQ(Document("", {unnamed}).to_conll(),
            "# sent_id = \n# text = c\n1\tc\t_\t_\t_\t_\t_\t_\t_\t_");
}

TEST(Conllu, MultiWordTokensAndAnnotations) {
  TokenInput mwt;
  mwt.first_id = 1;
  mwt.last_id = 2;
  mwt.text = "del";
  mwt.spaces_after = " ";
  mwt.words = {make_word(1, "de"), make_word(2, "el")};
  TokenInput single = test::make_token(3, "x");
  single.spaces_after = " ";
  single.misc = "TokenOnly=Yes";
  single.words[0].misc = "SpaceAfter=No";
  single.words[0].morphemes = {"un", "do"};
  single.words[0].head = 0;
  single.words[0].lemma = "";
  single.words[0].upos = "X";
  single.words[0].deps = "0:root";
  SentenceInput sentence;
  sentence.sent_id = "m";
  sentence.tokens = {mwt, single};
  Document doc("", {sentence});
  WordSequence words = doc.words();
  words.at(1).set_morphemes({"e", "l"});
  words.at(0).set_misc("");
  EXPECT_EQ(doc.to_conll(), "# sent_id = m\n"
                            "# text = del x\n"
                            "1-2\tdel\t_\t_\t_\t_\t_\t_\t_\t_\n"
                            "1\tde\t_\t_\t_\t_\t_\t_\t_\t_\n"
                            "2\tel\t_\t_\t_\t_\t_\t_\t_\tMorphemes=e,l\n"
                            "3\tx\t_\tX\t_\t_\t0\t_\t0:root\tSpaceAfter=No|Morphemes=un,do");
  doc.tokens().at(0).set_misc("SpaceAfter=No");
  words.at(2).set_head(-3);
  const std::string text = doc.to_conll();
  EXPECT_NE(text.find("1-2\tdel\t_\t_\t_\t_\t_\t_\t_\tSpaceAfter=No\n"), std::string::npos);
  EXPECT_NE(text.find("\t-3\t"), std::string::npos);
}

TEST(Conllu, EmptyWordsGoBeforeTheFirstLaterToken) {
  Document doc("", {make_sentence({"a", "b", "c", "d"})});
  DocumentStorage& storage = *doc.storage();
  storage.add_empty_word(0, make_empty_word(3, 1, "e3"));
  storage.add_empty_word(0, make_empty_word(1, 1, "e1"));
  storage.add_empty_word(0, make_empty_word(4, 1, "e4"));
  storage.add_empty_word(0, make_empty_word(0, 1, "e0"));
  // The text made of the tokens ends in the last one's space; its line does not.
  EXPECT_EQ(doc.sentences().at(0).text(), "a b c d ");
  EXPECT_EQ(doc.to_conll(), "# sent_id = 0\n"
                            "# text = a b c d\n"
                            "1\ta\t_\t_\t_\t_\t_\t_\t_\t_\n"
                            "2\tb\t_\t_\t_\t_\t_\t_\t_\t_\n"
                            "3\tc\t_\t_\t_\t_\t_\t_\t_\t_\n"
                            "3.1\te3\t_\t_\t_\t_\t_\t_\t_\t_\n"
                            "1.1\te1\t_\t_\t_\t_\t_\t_\t_\t_\n"
                            "4\td\t_\t_\t_\t_\t_\t_\t_\t_\n"
                            "4.1\te4\t_\t_\t_\t_\t_\t_\t_\t_\n"
                            "0.1\te0\t_\t_\t_\t_\t_\t_\t_\t_");

  // Inside a multi-word token an empty word follows its own word; one after
  // the word before the token still precedes the range line.
  TokenInput mwt;
  mwt.first_id = 2;
  mwt.last_id = 4;
  mwt.text = "xyz";
  mwt.words = {make_word(2, "x"), make_word(3, "y"), make_word(4, "z")};
  SentenceInput split;
  split.sent_id = "s";
  split.tokens = {test::make_token(1, "a"), mwt, test::make_token(5, "b")};
  split.empty_words = {make_empty_word(1, 1, "e1"), make_empty_word(2, 1, "e2"),
                       make_empty_word(3, 1, "e3"), make_empty_word(4, 1, "e4")};
  std::string ids;
  std::istringstream lines(Document("", {split}).to_conll());
  for (std::string line; std::getline(lines, line);) {
    ids += line[0] == '#' ? "" : line.substr(0, line.find('\t')) + " ";
  }
  EXPECT_EQ(ids, "1 1.1 2-4 2 2.1 3 3.1 4 4.1 5 ");

  SentenceInput only_empty;
  only_empty.empty_words = {make_empty_word(0, 1, "e")};
  only_empty.comments = {"# sent_id = x"};
  EXPECT_EQ(Document("", {only_empty}).to_conll(), "# sent_id = x\n0.1\te\t_\t_\t_\t_\t_\t_\t_\t_");
}

// A multi-word token of the words `forms`, numbered from `first`.
TokenInput make_mwt(int first, std::string text, const std::vector<std::string>& forms) {
  TokenInput token;
  token.first_id = first;
  token.last_id = first + static_cast<int>(forms.size()) - 1;
  token.text = std::move(text);
  for (const std::string& form : forms) {
    token.words.push_back(make_word(first + static_cast<int>(token.words.size()), form));
  }
  return token;
}

// The MISC column of each body line, by ID.
std::map<std::string, std::string> misc_columns(const std::string& conll) {
  std::map<std::string, std::string> columns;
  std::istringstream lines(conll);
  for (std::string line; std::getline(lines, line);) {
    if (line[0] != '#') {
      columns[line.substr(0, line.find('\t'))] = line.substr(line.rfind('\t') + 1);
    }
  }
  return columns;
}

TEST(Conllu, TokenSpacingGoesOnTheLineOfTheWholeToken) {
  const std::pair<std::string, std::string> cases[] = {
      {"", "SpaceAfter=No"}, {" ", "_"}, {"  ", "SpacesAfter=\\s\\s"}, {"\t", "SpacesAfter=\\t"}};
  for (const auto& [after, misc] : cases) {
    TokenInput single = test::make_token(1, "a");
    TokenInput mwt = make_mwt(2, "bc", {"b", "c"});
    single.spaces_after = mwt.spaces_after = after;
    SentenceInput sentence;
    sentence.tokens = {single, mwt};
    sentence.empty_words = {make_empty_word(1, 1, "e")};
    const auto columns = misc_columns(Document("", {sentence}).to_conll());
    EXPECT_EQ(columns, (std::map<std::string, std::string>{
                           {"1", misc}, {"1.1", "_"}, {"2-3", misc}, {"2", "_"}, {"3", "_"}}))
        << "spaces after: \"" << after << '"';
  }

  // Spacing joins stored pieces in byte order, before the morphemes; the
  // words of a multi-word token and empty words keep their MISC as stored.
  TokenInput first = test::make_token(1, "a");
  first.spaces_before = "\n ";
  first.words[0].misc = "Z=1|Gloss=x";
  first.words[0].morphemes = {"m", "n"};
  TokenInput mwt = make_mwt(2, "bc", {"b", "c"});
  mwt.misc = "Typo=Yes";
  mwt.spaces_after = "\r\n";
  mwt.words[0].misc = "SpaceAfter=No";
  SentenceInput sentence;
  sentence.tokens = {first, mwt};
  sentence.empty_words = {make_empty_word(3, 1, "e")};
  sentence.empty_words[0].misc = "Q=1";
  Document doc("", {sentence});
  EXPECT_EQ(misc_columns(doc.to_conll()),
            (std::map<std::string, std::string>{
                {"1", "Gloss=x|SpaceAfter=No|SpacesBefore=\\n\\s|Z=1|Morphemes=m,n"},
                {"2-3", "SpacesAfter=\\r\\n|Typo=Yes"},
                {"2", "SpaceAfter=No"},
                {"3", "_"},
                {"3.1", "Q=1"}}));
  // The text ends in the last token's line break; its line does not, nor in
  // any other whitespace.
  EXPECT_EQ(doc.sentences().at(0).text(), "abc\r\n");
  EXPECT_NE(doc.to_conll().find("\n# text = abc\n"), std::string::npos);
  SentenceInput spaced = make_sentence({"x"});
  spaced.text = "x\u3000\x1f\u00a0\t";
  EXPECT_NE(Document("", {spaced}).to_conll().find("\n# text = x\n"), std::string::npos);
  spaced.text = " \t";
  EXPECT_EQ(Document("", {spaced}).to_conll(), "# sent_id = 0\n1\tx\t_\t_\t_\t_\t_\t_\t_\t_");
}

TEST(Conllu, LineBreaksAndTabsInStoredStringsBecomeSpaces) {
  TokenInput mwt;
  mwt.first_id = 1;
  mwt.last_id = 2;
  mwt.text = "a\tb";
  mwt.misc = "x\r\ny";
  mwt.spaces_after = " ";
  mwt.words = {make_word(1, "a\nb"), make_word(2, "c")};
  mwt.words[0].lemma = "l\tm";
  mwt.words[0].morphemes = {"p\tq"};
  mwt.words[1].misc = "Gloss=\r";
  SentenceInput sentence;
  sentence.sent_id = "s\r\n1\n";
  sentence.text = "Dr. Smith said the report\nwasn't\r\r\nready.\tok";
  sentence.tokens = {mwt};
  Document doc("", {sentence});
  EXPECT_EQ(doc.to_conll(), "# sent_id = s 1 \n"
                            "# text = Dr. Smith said the report wasn't  ready.\tok\n"
                            "1-2\ta b\t_\t_\t_\t_\t_\t_\t_\tx y\n"
                            "1\ta b\tl m\t_\t_\t_\t_\t_\t_\tMorphemes=p q\n"
                            "2\tc\t_\t_\t_\t_\t_\t_\t_\tGloss= ");
  // The stored strings themselves keep their characters.
  EXPECT_EQ(doc.sentences().at(0).text(), *sentence.text);
  EXPECT_EQ(doc.words().at(0).text(), "a\nb");
}

} // namespace
} // namespace velmora
