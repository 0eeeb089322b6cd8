#include <stdexcept>

#include <gtest/gtest.h>

#include "storage_test_support.hpp"

namespace velmora {
namespace {

using test::make_empty_word;
using test::make_sentence;
using test::word_ids;
using test::word_rows;

constexpr const char* kOutside = "index is outside the sequence";

std::vector<std::uint64_t> positions(const SequenceRange& range) {
  std::vector<std::uint64_t> result;
  for (std::int64_t i = 0; i < static_cast<std::int64_t>(range.size); ++i) {
    result.push_back(range.resolve(i));
  }
  return result;
}

TEST(Sequences, RangeIndexingCountsNegativeIndexesFromTheEnd) {
  const SequenceRange range{4, 1, 3};
  EXPECT_EQ(range.resolve(-1), 6u);
  EXPECT_EQ(range.resolve(-3), 4u);
  EXPECT_THROW_MESSAGE(range.resolve(3), std::out_of_range, kOutside);
  EXPECT_THROW_MESSAGE(range.resolve(-4), std::out_of_range, kOutside);
  EXPECT_THROW_MESSAGE(SequenceRange{}.resolve(0), std::out_of_range, kOutside);
  EXPECT_THROW_MESSAGE(SequenceRange{}.resolve(-1), std::out_of_range, kOutside);
  EXPECT_THROW(SentenceSequence().at(0), std::out_of_range);
  EXPECT_THROW_MESSAGE(WordSequence().at(-1), std::out_of_range, kOutside);
}

TEST(Sequences, ReversalAndSlicing) {
  const SequenceRange range{4, 1, 3};
  const SequenceRange back = range.reversed();
  EXPECT_EQ(back.start, 6u);
  EXPECT_EQ(back.step, -1);
  EXPECT_EQ(positions(back), (std::vector<std::uint64_t>{6, 5, 4}));
  EXPECT_EQ(positions(back.reversed()), positions(range));
  const SequenceRange empty{9, 3, 0};
  EXPECT_EQ(empty.reversed().start, 9u);
  EXPECT_EQ(empty.reversed().step, 3);

  const SequenceRange rows{10, 1, 10};
  EXPECT_EQ(positions(rows.slice(8, -2, 4)), (std::vector<std::uint64_t>{18, 16, 14, 12}));
  EXPECT_EQ(positions(back.slice(1, 1, 2)), (std::vector<std::uint64_t>{5, 4}));
}

TEST(Sequences, ElementsAreViewsOfTheirRows) {
  Document doc("", {make_sentence({"a", "b"}), make_sentence({"c"}), make_sentence({"d"})});
  SentenceSequence sentences = doc.sentences();
  EXPECT_EQ(sentences.at(-1).index(), 2u);
  EXPECT_EQ(sentences.reversed().at(0).index(), 2u);
  EXPECT_EQ(doc.tokens().slice(3, -2, 2).at(1).text(), "b");
  EXPECT_EQ(doc.sentences().at(1).tokens().at(0).text(), "c");
  // An unnormalised slice reaching past the rows gives the view's error.
  EXPECT_THROW_MESSAGE(sentences.slice(2, 1, 2).at(1), std::out_of_range, "invalid sentence view");
  EXPECT_THROW_MESSAGE(doc.words().slice(3, 1, 2).at(1), std::out_of_range, "invalid word view");
  EXPECT_THROW_MESSAGE(doc.tokens().slice(0, -1, 2).at(1), std::out_of_range, "invalid token view");
}

TEST(Sequences, AllWordsGoThroughASharedRowList) {
  SentenceInput first = make_sentence({"x"});
  SentenceInput second = make_sentence({"a", "b", "c"});
  Document doc("", {first, second});
  doc.storage()->add_empty_word(1, make_empty_word(2, 1, "e"));
  Sentence sentence = doc.sentences().at(1);

  WordSequence all = sentence.all_words();
  EXPECT_EQ(word_ids(all), (std::vector<int>{1, 2, 2, 3}));
  EXPECT_EQ(all.at(2).empty_index(), 1);
  EXPECT_EQ(all.resolve(2), 4u); // the last word row of the document
  EXPECT_EQ(word_rows(all.reversed()), (std::vector<std::uint32_t>{3, 4, 2, 1}));
  EXPECT_EQ(word_rows(all.slice(3, -2, 2)), (std::vector<std::uint32_t>{3, 2}));
  EXPECT_THROW_MESSAGE(all.at(4), std::out_of_range, kOutside);
  // A slice beyond the list is refused, not read.
  EXPECT_THROW(all.slice(3, 1, 2).at(1), std::out_of_range);
  EXPECT_FALSE(all.slice(3, 1, 2).contains(doc.words().at(0)));

  EXPECT_EQ(word_ids(sentence.words()), (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(word_ids(sentence.empty_words()), (std::vector<int>{2}));
}

TEST(Sequences, ContainsIsByStorageAndRow) {
  Document doc("", {make_sentence({"a", "b"}), make_sentence({"c"})});
  Document twin("", {make_sentence({"a", "b"}), make_sentence({"c"})});
  SentenceSequence sentences = doc.sentences();
  EXPECT_TRUE(sentences.reversed().contains(doc.sentences().at(1)));
  EXPECT_FALSE(sentences.contains(twin.sentences().at(1)));
  EXPECT_FALSE(SentenceSequence().contains(doc.sentences().at(0)));

  TokenSequence tokens = doc.tokens();
  EXPECT_TRUE(tokens.slice(2, -2, 2).contains(tokens.at(0)));
  EXPECT_FALSE(tokens.slice(2, -2, 2).contains(tokens.at(1)));
  EXPECT_FALSE(doc.sentences().at(1).tokens().contains(tokens.at(0)));

  doc.storage()->add_empty_word(0, make_empty_word(1, 1, "e"));
  Sentence first = doc.sentences().at(0);
  Word empty = first.empty_words().at(0);
  EXPECT_TRUE(first.all_words().contains(empty));
  EXPECT_FALSE(first.words().contains(empty));
  EXPECT_FALSE(doc.words().contains(empty));
  EXPECT_TRUE(doc.words().contains(first.all_words().at(0)));
  const Word root(doc.storage(), Word::kRootRow, 0);
  EXPECT_FALSE(first.all_words().contains(root));
  EXPECT_FALSE(WordSequence(doc.storage(), SequenceRange{0, 1, 0xFFFFFFFFu + 1ull}).contains(root));
}

} // namespace
} // namespace velmora
