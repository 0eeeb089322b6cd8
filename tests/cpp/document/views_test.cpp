#include <limits>
#include <stdexcept>

#include <gtest/gtest.h>

#include "storage_test_support.hpp"

namespace velmora {
namespace {

using test::make_empty_word;
using test::make_sentence;
using test::make_word;

constexpr const char* kRootMessage = "the synthetic ROOT word is immutable";

TEST(Views, ConstructionIsChecked) {
  Document empty("");
  EXPECT_EQ(empty.sentences().size(), 0u);
  EXPECT_EQ(empty.num_words(), 0u);
  EXPECT_EQ(empty.byte_offset(0), 0u);
  EXPECT_THROW_MESSAGE(empty.byte_offset(1), std::out_of_range,
                       "code point index is outside the document");
  EXPECT_THROW_MESSAGE(Document(std::shared_ptr<DocumentStorage>()), std::invalid_argument,
                       "a document storage pointer cannot be null");

  Document doc("", {make_sentence({"a"})});
  EXPECT_THROW_MESSAGE(Sentence(doc.storage(), 1), std::out_of_range, "invalid sentence view");
  EXPECT_THROW_MESSAGE(Sentence(nullptr, 0), std::out_of_range, "invalid sentence view");
  EXPECT_THROW_MESSAGE(Token(doc.storage(), 1), std::out_of_range, "invalid token view");
  EXPECT_THROW_MESSAGE(Span(doc.storage(), 0), std::out_of_range, "invalid span view");
  EXPECT_THROW_MESSAGE(Word(doc.storage(), 1, 0), std::out_of_range, "invalid word view");
  EXPECT_THROW_MESSAGE(Word(doc.storage(), Word::kRootRow, Word::kNoSentence), std::out_of_range,
                       "invalid word view");
}

TEST(Views, RootWordReadsAsUnannotatedAndRefusesChanges) {
  Document doc("", {make_sentence({"a"})});
  Word root(doc.storage(), Word::kRootRow, 0);
  EXPECT_TRUE(root.is_root());
  EXPECT_EQ(root.id(), 0);
  EXPECT_EQ(root.text(), "ROOT");
  EXPECT_EQ(root.head(), std::nullopt);
  EXPECT_EQ(root.parent(), std::nullopt);
  EXPECT_TRUE(root.morphemes().empty());
  EXPECT_TRUE(root.sent().same_view(doc.sentences().at(0)));
  EXPECT_THROW_MESSAGE(root.set_text(""), std::logic_error, kRootMessage);
  EXPECT_THROW_MESSAGE(root.set_lemma("x"), std::logic_error, kRootMessage);
  EXPECT_THROW_MESSAGE(root.set_head(1), std::logic_error, kRootMessage);
  EXPECT_THROW_MESSAGE(root.set_morphemes({}), std::logic_error, kRootMessage);
  // The ROOT word's sentence is checked only when asked for.
  EXPECT_THROW_MESSAGE(Word(doc.storage(), Word::kRootRow, 5).sent(), std::out_of_range,
                       "invalid sentence view");
  EXPECT_FALSE(root.same_view(Word(doc.storage(), Word::kRootRow, 1)));
}

TEST(Views, SettersWriteThroughToEveryView) {
  TokenInput mwt;
  mwt.first_id = 1;
  mwt.last_id = 2;
  mwt.text = "del";
  mwt.words = {make_word(1, "de"), make_word(2, "el")};
  TokenInput bare;
  bare.first_id = 3;
  bare.last_id = 3;
  bare.text = "x";
  SentenceInput sentence = make_sentence({});
  sentence.tokens = {mwt, bare, test::make_token(4, "y")};
  Document doc("", {sentence});
  Document alias = doc;

  Word word = doc.words().at(0);
  word.set_lemma("");
  word.set_head(0);
  word.set_morphemes({"un", "do"});
  EXPECT_EQ(alias.words().at(0).lemma(), "");
  EXPECT_EQ(alias.words().at(0).head(), 0);
  EXPECT_EQ(alias.words().at(0).morphemes(), (std::vector<std::string>{"un", "do"}));
  word.set_head(std::numeric_limits<std::int32_t>::min());
  EXPECT_EQ(word.head(), std::nullopt);
  word.set_head(std::nullopt);
  EXPECT_EQ(word.head(), std::nullopt);
  EXPECT_THROW_MESSAGE(word.set_text(""), std::invalid_argument, "a word must have non-empty text");
  EXPECT_EQ(word.text(), "de");

  Sentence sent = doc.sentences().at(0);
  sent.set_sentiment(2);
  EXPECT_EQ(alias.sentences().at(0).sentiment(), 2);
  sent.set_sentiment(std::numeric_limits<std::int32_t>::min());
  EXPECT_EQ(sent.sentiment(), std::nullopt);
  ConstituencyTree tree("ROOT", {ConstituencyTree("X", {})});
  sent.set_constituency(tree);
  EXPECT_TRUE(alias.sentences().at(0).constituency()->same_node(tree));
  sent.set_constituency(std::nullopt);
  EXPECT_EQ(sent.constituency(), std::nullopt);

  Token token = doc.tokens().at(0);
  EXPECT_THROW_MESSAGE(token.set_text(""), std::invalid_argument,
                       "a token must have non-empty text");
  EXPECT_EQ(token.text(), "del");
  token.set_spaces_after("");
  EXPECT_EQ(token.spaces_after(), "");
  token.set_manual_expansion(false);
  EXPECT_EQ(token.manual_expansion(), false);
  token.set_manual_expansion(std::nullopt);
  EXPECT_EQ(token.manual_expansion(), std::nullopt);
  token.set_multi_ner({"B-PER", "O"});
  EXPECT_EQ(alias.tokens().at(0).multi_ner(), (std::vector<std::string>{"B-PER", "O"}));
  EXPECT_EQ(token.id_range(), (std::pair<std::int32_t, std::int32_t>{1, 2}));

  EXPECT_TRUE(token.is_mwt());
  EXPECT_FALSE(doc.tokens().at(1).is_mwt()); // no words at all
  EXPECT_FALSE(doc.tokens().at(2).is_mwt());
  EXPECT_EQ(doc.tokens().at(1).words().size(), 0u);
  EXPECT_TRUE(doc.words().at(1).parent()->same_view(token));
  EXPECT_TRUE(doc.words().at(2).sent().same_view(sent));

  doc.set_lang("en");
  EXPECT_EQ(alias.lang(), "en");
  EXPECT_TRUE(sent.doc().same_storage(alias));
}

TEST(Views, EmptyWordsAndIdentity) {
  Document doc("", {make_sentence({"a", "b"}), make_sentence({"c"})});
  doc.storage()->add_empty_word(1, make_empty_word(1, 1, "e"));
  Word empty = doc.sentences().at(1).empty_words().at(0);
  EXPECT_EQ(empty.parent(), std::nullopt);
  EXPECT_EQ(empty.sent().index(), 1u);
  EXPECT_EQ(empty.empty_index(), 1);

  Document twin("", {make_sentence({"a", "b"}), make_sentence({"c"})});
  EXPECT_TRUE(doc.sentences().at(0).same_view(Sentence(doc.storage(), 0)));
  EXPECT_FALSE(doc.sentences().at(0).same_view(twin.sentences().at(0)));
  EXPECT_TRUE(doc.words().at(0).same_view(Word(doc.storage(), 0, Word::kNoSentence)));
}

TEST(Views, DanglingViewsThrowInsteadOfReading) {
  Document doc("", {make_sentence({"a", "b"}), make_sentence({"c"})});
  doc.storage()->add_empty_word(0, make_empty_word(2, 1, "gen"));
  Word generated = doc.sentences().at(0).empty_words().at(0);
  Sentence second = doc.sentences().at(1);
  Token last = doc.tokens().at(2);

  doc.storage()->reset_generated_empty_words();
  EXPECT_THROW_MESSAGE(generated.text(), std::out_of_range, "invalid word view");
  EXPECT_THROW_MESSAGE(generated.set_lemma("x"), std::out_of_range, "invalid word view");
  EXPECT_THROW_MESSAGE(generated.sent(), std::out_of_range, "invalid word view");
  EXPECT_THROW_MESSAGE(generated.coref_chains(), std::out_of_range, "invalid word view");

  SentenceInput tagged = make_sentence({"x"});
  tagged.tokens[0].ner = "S-PER";
  doc.storage()->replace({tagged});
  Span span = doc.ents().at(0);
  EXPECT_THROW_MESSAGE(second.text(), std::out_of_range, "invalid sentence view");
  EXPECT_THROW_MESSAGE(second.tokens(), std::out_of_range, "invalid sentence view");
  EXPECT_THROW_MESSAGE(second.all_words(), std::out_of_range, "invalid sentence view");
  EXPECT_THROW_MESSAGE(second.set_sentiment(1), std::out_of_range, "invalid sentence view");
  EXPECT_THROW_MESSAGE(second.to_conll(), std::out_of_range, "invalid sentence view");
  EXPECT_THROW_MESSAGE(last.text(), std::out_of_range, "invalid token view");
  EXPECT_THROW_MESSAGE(last.set_ner("O"), std::out_of_range, "invalid token view");
  EXPECT_THROW_MESSAGE(last.words(), std::out_of_range, "invalid token view");

  doc.tokens().at(0).set_ner(std::nullopt);
  doc.rebuild_entities();
  EXPECT_THROW_MESSAGE(span.type(), std::out_of_range, "invalid span view");
  EXPECT_THROW_MESSAGE(span.tokens(), std::out_of_range, "invalid span view");
}

} // namespace
} // namespace velmora
