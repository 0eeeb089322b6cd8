#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "storage_test_support.hpp"

namespace velmora {
namespace {

using test::make_empty_word;
using test::make_sentence;
using test::word_ids;

TEST(StorageEdit, AddEmptyWordChecksItsInput) {
  Document doc("", {make_sentence({"a", "b", "c"}), make_sentence({"d"})});
  DocumentStorage& s = *doc.storage();
  EXPECT_EQ(s.add_empty_word(0, make_empty_word(0, 1, "zero")), 4u);
  EXPECT_EQ(s.add_empty_word(0, make_empty_word(3, 1, "x")), 5u);
  EXPECT_EQ(s.add_empty_word(1, make_empty_word(3, 1, "x")), 6u);
  EXPECT_THROW_MESSAGE(s.add_empty_word(0, make_empty_word(3, 1, "y")), std::invalid_argument,
                       "an empty word ID is duplicated within a sentence");
  EXPECT_THROW_MESSAGE(s.add_empty_word(2, make_empty_word(1, 1, "x")), std::out_of_range,
                       "an empty word has an invalid sentence");
  EXPECT_THROW_MESSAGE(s.add_empty_word(0, make_empty_word(-1, 1, "abc")), std::invalid_argument,
                       "an empty word requires a nonnegative ID, positive empty index, and "
                       "non-empty text; got id=-1, empty_index=1, text_size=3");
  EXPECT_THROW_MESSAGE(s.add_empty_word(0, test::make_word(3, "x")), std::invalid_argument,
                       "an empty word requires a nonnegative ID, positive empty index, and "
                       "non-empty text; got id=3, empty_index=none, text_size=1");
  EXPECT_THROW(s.add_empty_word(0, make_empty_word(4, 0, "x")), std::invalid_argument);
  EXPECT_THROW(s.add_empty_word(0, make_empty_word(4, 1, "")), std::invalid_argument);
  // Refused words leave nothing behind.
  EXPECT_EQ(s.word_row_count(), 7u);
  EXPECT_EQ(s.sentence_empty_words[0], (std::vector<std::uint32_t>{4, 5}));
  // Empty words carry no offsets of any token.
  EXPECT_EQ(doc.sentences().at(0).empty_words().at(0).start_char(), std::nullopt);
}

TEST(StorageEdit, ResetRemovesOnlyGeneratedEmptyWords) {
  SentenceInput first = make_sentence({"a", "b"});
  first.empty_words = {make_empty_word(2, 1, "in1")};
  SentenceInput second = make_sentence({"c"});
  second.empty_words = {make_empty_word(1, 1, "in2")};
  Document doc("", {first, second});
  DocumentStorage& s = *doc.storage();
  s.add_empty_word(0, make_empty_word(0, 1, "gen"));
  s.add_empty_word(1, make_empty_word(1, 2, "gen"));
  ASSERT_EQ(s.word_row_count(), 7u);

  s.reset_generated_empty_words();
  EXPECT_EQ(s.word_row_count(), 5u);
  EXPECT_EQ(s.word_coref.size(), 5u);
  EXPECT_EQ(s.word_morphemes.size(), 5u);
  EXPECT_EQ(s.sentence_empty_words, (std::vector<std::vector<std::uint32_t>>{{3}, {4}}));
  s.reset_generated_empty_words();
  EXPECT_EQ(s.word_row_count(), 5u);
  // The generated id may be used again afterwards.
  EXPECT_NO_THROW(s.add_empty_word(0, make_empty_word(0, 1, "gen")));
}

TEST(StorageEdit, ReplaceRebuildsInPlaceAndKeepsTheLanguage) {
  Document doc("one two", {make_sentence({"one", "two"})});
  Document alias = doc;
  doc.sentences().at(0).set_constituency(ConstituencyTree("S", {}));
  doc.set_lang("en");
  doc.storage()->replace({make_sentence({"one"}), make_sentence({"two"})});
  EXPECT_EQ(alias.sentences().size(), 2u);
  EXPECT_EQ(alias.lang(), "en");
  EXPECT_EQ(alias.sentences().at(0).constituency(), std::nullopt);

  // Refused inputs leave the old content readable.
  SentenceInput bad = make_sentence({"x"});
  bad.tokens[0].text.clear();
  EXPECT_THROW(doc.storage()->replace({bad}), std::invalid_argument);
  EXPECT_EQ(doc.sentences().size(), 2u);
  EXPECT_EQ(doc.tokens().at(1).text(), "two");
  EXPECT_EQ(doc.lang(), "en");

  doc.set_lang(std::nullopt);
  doc.storage()->replace({make_sentence({"x"})});
  EXPECT_EQ(doc.lang(), std::nullopt);
}

struct Entity {
  std::string type;
  std::string text;
  std::uint64_t tokens;
  bool operator==(const Entity&) const = default;
};

std::vector<Entity> entities_for(const std::vector<std::vector<std::string>>& tags) {
  std::vector<SentenceInput> sentences;
  for (const auto& sentence_tags : tags) {
    std::vector<std::string> forms;
    for (std::size_t i = 0; i < sentence_tags.size(); ++i) {
      forms.push_back("w" + std::to_string(sentences.size()) + std::to_string(i));
    }
    SentenceInput sentence = make_sentence(forms);
    for (std::size_t i = 0; i < sentence_tags.size(); ++i) {
      if (!sentence_tags[i].empty()) {
        sentence.tokens[i].ner = sentence_tags[i];
      }
      sentence.tokens[i].spaces_after = " ";
    }
    sentences.push_back(sentence);
  }
  Document doc("", sentences);
  std::vector<Entity> result;
  SpanSequence ents = doc.ents();
  for (std::int64_t i = 0; i < static_cast<std::int64_t>(ents.size()); ++i) {
    Span span = ents.at(i);
    result.push_back({span.type(), span.text(), span.tokens().size()});
  }
  return result;
}

TEST(StorageEdit, EntitiesFollowTheTagPrefixes) {
  EXPECT_EQ(entities_for({{"B-PER", "I-PER", "E-PER"}}),
            (std::vector<Entity>{{"PER", "w00 w01 w02", 3}}));
  EXPECT_EQ(entities_for({{"B-PER", "I-LOC"}}),
            (std::vector<Entity>{{"PER", "w00", 1}, {"LOC", "w01", 1}}));
  EXPECT_EQ(entities_for({{"B-PER", "B-PER"}}),
            (std::vector<Entity>{{"PER", "w00", 1}, {"PER", "w01", 1}}));
  EXPECT_EQ(entities_for({{"B-PER", "O", "I-PER"}}),
            (std::vector<Entity>{{"PER", "w00", 1}, {"PER", "w02", 1}}));
  EXPECT_EQ(entities_for({{"B-ORG", "I-ORG", "L-ORG", "I-ORG"}}),
            (std::vector<Entity>{{"ORG", "w00 w01 w02", 3}, {"ORG", "w03", 1}}));
  EXPECT_EQ(entities_for({{"S-ORG", "U-ORG", "L-ORG", "I-ORG", "b-ORG"}}).size(), 5u);
  EXPECT_TRUE(entities_for({{"O", "B", "B-", "BxPER", ""}}).empty());
  EXPECT_EQ(entities_for({{"B-PER"}, {"I-PER"}}),
            (std::vector<Entity>{{"PER", "w00", 1}, {"PER", "w10", 1}}));
}

TEST(StorageEdit, EntitySpansReadOffsetsAndFollowRebuilds) {
  SentenceInput sentence = make_sentence({"New", "York", "is"});
  sentence.tokens[0].start_char = 0;
  sentence.tokens[1].end_char = 8;
  sentence.tokens[0].ner = "B-LOC";
  sentence.tokens[1].ner = "E-LOC";
  Document doc("New York is", {sentence});
  Span span = doc.ents().at(0);
  EXPECT_EQ(span.text(), "New York");
  EXPECT_EQ(span.start_char(), 0u);
  EXPECT_EQ(span.end_char(), 8u);
  EXPECT_EQ(span.words().size(), 2u);
  EXPECT_TRUE(span.sent().same_view(doc.sentences().at(0)));

  doc.tokens().at(2).set_ner("S-MISC");
  EXPECT_EQ(doc.ents().size(), 1u); // setting a tag does not rebuild
  doc.rebuild_entities();
  EXPECT_EQ(doc.ents().size(), 2u);
  EXPECT_EQ(doc.ents().at(1).type(), "MISC");
  EXPECT_EQ(doc.ents().at(1).end_char(), std::nullopt);
  EXPECT_EQ(doc.storage()->sentence_span_offsets, (std::vector<std::uint32_t>{0, 2}));
}

CorefMention mention(int sentence, int start, int end) {
  return CorefMention(sentence, CorefWordPosition{start, std::nullopt},
                      CorefWordPosition{end, std::nullopt});
}

CorefMention zero_mention(int sentence, int word, int empty_index) {
  return CorefMention(sentence, CorefWordPosition{word, empty_index},
                      CorefWordPosition{word, empty_index});
}

TEST(StorageEdit, CoreferenceAttachesToWords) {
  SentenceInput first = make_sentence({"a", "b", "c"});
  first.empty_words = {make_empty_word(2, 1, "pro")};
  Document doc("", {first, make_sentence({"d", "e"})});
  CorefChain chain(0, {mention(0, 0, 3), mention(1, 1, 2), mention(1, 2, 2), zero_mention(0, 2, 1)},
                   "a b c", 3);
  CorefChain other(1, {mention(1, 1, 2)}, "e", 0);
  doc.set_coref({chain, other});
  ASSERT_EQ(doc.coref().size(), 2u);

  WordSequence words = doc.words();
  std::vector<CorefAttachment> a = words.at(0).coref_chains();
  ASSERT_EQ(a.size(), 1u);
  EXPECT_TRUE(a[0].is_start());
  EXPECT_FALSE(a[0].is_end());
  EXPECT_EQ(a[0].chain(), doc.coref()[0]);
  EXPECT_FALSE(words.at(1).coref_chains()[0].is_start());
  EXPECT_TRUE(words.at(2).coref_chains()[0].is_end());
  EXPECT_TRUE(words.at(3).coref_chains().empty());
  std::vector<CorefAttachment> e = words.at(4).coref_chains();
  ASSERT_EQ(e.size(), 2u); // in the order chains and mentions were given
  EXPECT_TRUE(e[0].is_start() && e[0].is_end() && !e[0].is_representative());
  EXPECT_TRUE(e[1].is_representative());
  EXPECT_EQ(e[1].chain()->index(), 1);
  // The representative zero mention still attaches as not representative.
  std::vector<CorefAttachment> pro = doc.sentences().at(0).empty_words().at(0).coref_chains();
  ASSERT_EQ(pro.size(), 1u);
  EXPECT_TRUE(pro[0].is_start() && pro[0].is_end());
  EXPECT_FALSE(pro[0].is_representative());

  doc.set_coref({});
  EXPECT_TRUE(doc.coref().empty());
  EXPECT_TRUE(words.at(0).coref_chains().empty());
}

TEST(StorageEdit, CoreferenceRefusesBadMentions) {
  SentenceInput first = make_sentence({"a", "b"});
  first.empty_words = {make_empty_word(1, 1, "pro")};
  Document doc("", {first});
  auto attach = [&](CorefMention m) { doc.set_coref({CorefChain(0, {m}, "", std::nullopt)}); };
  EXPECT_THROW_MESSAGE(attach(mention(1, 0, 1)), std::out_of_range,
                       "a coreference mention has an invalid sentence index");
  for (auto [start, end] : std::initializer_list<std::pair<int, int>>{{-1, 1}, {2, 1}, {0, 3}}) {
    EXPECT_THROW_MESSAGE(attach(mention(0, start, end)), std::out_of_range,
                         "a coreference mention has an invalid word range");
  }
  EXPECT_THROW_MESSAGE(attach(CorefMention(0, {1, 1}, {1, std::nullopt})), std::out_of_range,
                       "a zero coreference mention must name one empty word");
  EXPECT_THROW_MESSAGE(attach(CorefMention(0, {1, 1}, {1, 2})), std::out_of_range,
                       "a zero coreference mention must name one empty word");
  EXPECT_THROW_MESSAGE(attach(zero_mention(0, 2, 1)), std::out_of_range,
                       "a zero coreference mention has no matching empty word");

  // A refused call changes nothing: the earlier chain and its attachments
  // stay, whichever chain holds the bad mention.
  doc.set_coref({CorefChain(0, {mention(0, 1, 2)}, "b", 0)});
  EXPECT_THROW_MESSAGE(doc.set_coref({CorefChain(0, {mention(0, 0, 1)}, "", 0),
                                      CorefChain(1, {zero_mention(0, 1, 1), mention(0, 0, 9)},
                                                 "", std::nullopt)}),
                       std::out_of_range, "a coreference mention has an invalid word range");
  ASSERT_EQ(doc.coref().size(), 1u);
  EXPECT_EQ(doc.coref()[0]->representative_text(), "b");
  EXPECT_TRUE(doc.words().at(0).coref_chains().empty());
  EXPECT_EQ(doc.words().at(1).coref_chains().size(), 1u);
  EXPECT_TRUE(doc.sentences().at(0).empty_words().at(0).coref_chains().empty());
}

} // namespace
} // namespace velmora
