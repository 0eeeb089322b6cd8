#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "subword_fixtures.hpp"
#include "velmora/bert_tokenizer.hpp"

namespace velmora {
namespace {

using Ids = std::vector<std::int64_t>;
using test::u8;

// Ids are positions in this list.
const std::vector<std::string> vocabulary = {
    "[UNK]", "[CLS]", "[SEP]", "un", "##aff", "##able", "a",      "b",        "##b",
    "##+",   ",",     "-",     "e",  "E",     u8(0xC9), u8(0xE9), u8(0x4E2D), "x"};

WordPieceTokenizer make(bool lowercase = false, bool strip_accents = false,
                        std::size_t max_characters = 100,
                        std::vector<std::string> tokens = vocabulary) {
  return WordPieceTokenizer(std::move(tokens), lowercase, strip_accents, "[UNK]", "[CLS]", "[SEP]",
                            "##", max_characters);
}

Ids ids(const WordPieceTokenizer& tokenizer, const std::string& word) {
  return tokenizer.encode({word}, false).input_ids;
}

TEST(WordPiece, EncodesWordsWithSpecialTokens) {
  const WordPieceTokenizer tokenizer = make();
  const WordPieceEncoding encoding = tokenizer.encode({"unaffable", "a"}, true);
  EXPECT_EQ(encoding.input_ids, (Ids{1, 3, 4, 5, 6, 2}));
  EXPECT_EQ(encoding.word_ids, (Ids{-1, 0, 0, 0, 1, -1}));
  EXPECT_EQ(encoding.attention_mask, (Ids{1, 1, 1, 1, 1, 1}));
  EXPECT_EQ(tokenizer.encode({}, true).input_ids, (Ids{1, 2}));
  const WordPieceEncoding empty = tokenizer.encode({}, false);
  EXPECT_TRUE(empty.input_ids.empty() && empty.word_ids.empty() && empty.attention_mask.empty());
  EXPECT_EQ(tokenizer.vocabulary_size(), vocabulary.size());
  EXPECT_TRUE(WordPieceTokenizer::highway_enabled());
}

TEST(WordPiece, GreedySegmentationAndItsLimits) {
  EXPECT_EQ(ids(make(), "unaffablex"), (Ids{0})); // matched start is discarded
  EXPECT_EQ(ids(make(false, false, 9), "unaffable"), (Ids{3, 4, 5}));
  EXPECT_EQ(ids(make(false, false, 8), "unaffable"), (Ids{0}));
  // The limit counts code points, not bytes.
  EXPECT_EQ(ids(make(false, false, 1), u8(0xE9)), (Ids{15}));
}

TEST(WordPiece, PiecesSplitAtPunctuationCjkAndWhitespaceOnly) {
  const WordPieceTokenizer tokenizer = make();
  EXPECT_EQ(ids(tokenizer, "a+b"), (Ids{6, 9, 8}));  // one piece
  EXPECT_EQ(ids(tokenizer, "a,b"), (Ids{6, 10, 7})); // three pieces
  EXPECT_EQ(ids(tokenizer, "a" + u8(0x4E2D) + "b"), (Ids{6, 16, 7}));
  EXPECT_EQ(ids(tokenizer, "a\tb"), (Ids{6, 7}));
  EXPECT_EQ(ids(tokenizer, "a" + u8(0x3000) + "b"), (Ids{6, 7}));
  // Controls and format characters vanish and join their neighbours.
  for (const char32_t joiner : {0x0Bu, 0xADu, 0x200Bu, 0x85u, 0x1Fu, 0x897u, 0u, 0xFFFDu}) {
    EXPECT_EQ(ids(tokenizer, "a" + u8(joiner) + "b"), (Ids{6, 8}))
        << std::hex << static_cast<std::uint32_t>(joiner);
  }
}

TEST(WordPiece, LowercasingAndAccentStripping) {
  const std::string capital_e_acute = u8(0xC9);
  EXPECT_EQ(ids(make(true, true), capital_e_acute), (Ids{12}));
  EXPECT_EQ(ids(make(false, true), capital_e_acute), (Ids{13}));
  EXPECT_EQ(ids(make(true, false), capital_e_acute), (Ids{15}));
  EXPECT_EQ(ids(make(false, false), capital_e_acute), (Ids{14}));
  // A decomposed accent is a nonspacing mark: stripped, or kept as part of the piece.
  EXPECT_EQ(ids(make(false, true), "e" + u8(0x301)), (Ids{12}));
  EXPECT_EQ(ids(make(false, false), "e" + u8(0x301)), (Ids{0}));
  EXPECT_EQ(ids(make(true, false), "UN"), (Ids{3}));
  // U+0130 lower-cases to i + U+0307; stripping leaves i, which is unknown here.
  EXPECT_EQ(ids(make(true, true), u8(0x130)), (Ids{0}));
}

TEST(WordPiece, WordsWithoutPiecesFallBackToHyphenThenUnknown) {
  const WordPieceTokenizer tokenizer = make(false, true);
  for (const std::string& word : {std::string(), std::string("   "), u8(0x301), u8(0x200B)}) {
    EXPECT_EQ(ids(tokenizer, word), (Ids{11}));
  }
  std::vector<std::string> without_hyphen = vocabulary;
  without_hyphen[11] = "--";
  EXPECT_EQ(ids(make(false, false, 100, without_hyphen), ""), (Ids{0}));
  const WordPieceEncoding encoding = tokenizer.encode({"a", "", "b"}, false);
  EXPECT_EQ(encoding.word_ids, (Ids{0, 1, 2}));
}

TEST(WordPiece, ConstructionFailuresInOrder) {
  const auto message = [](std::vector<std::string> tokens, std::size_t max_characters,
                          std::string unknown = "[UNK]") {
    try {
      WordPieceTokenizer(std::move(tokens), true, true, unknown, "[CLS]", "[SEP]", "##",
                         max_characters);
    } catch (const WordPieceError& error) {
      return std::string(error.what());
    }
    return std::string("no error");
  };
  EXPECT_EQ(message({}, 0), "WordPiece vocabulary cannot be empty");
  EXPECT_EQ(message({"a", "a"}, 0), "max_input_characters_per_word must be positive");
  EXPECT_EQ(message({"[UNK]", "a", "b", "a"}, 5),
            "WordPiece vocabulary contains duplicate token: a");
  EXPECT_EQ(message({"[SEP]", "[CLS]"}, 5),
            "WordPiece vocabulary is missing required token: [UNK]");
  EXPECT_EQ(message({"[SEP]", "[UNK]"}, 5),
            "WordPiece vocabulary is missing required token: [CLS]");
  EXPECT_EQ(message({"[UNK]", "[CLS]"}, 5),
            "WordPiece vocabulary is missing required token: [SEP]");
  EXPECT_EQ(message({"[CLS]", "[SEP]", "x"}, 5, "x"), "no error"); // no prefix entry needed
}

TEST(WordPiece, MalformedUtf8FailsWithoutCaching) {
  const WordPieceTokenizer cased = make(false, false);
  try {
    cased.encode({"a", "ab\xE2\x28\x29"}, false);
    FAIL() << "expected WordPieceError";
  } catch (const WordPieceError& error) {
    EXPECT_STREQ(error.what(), "invalid UTF-8 sequence at byte offset 3");
  }
  EXPECT_EQ(cased.cache_size(), 1u);
  const WordPieceTokenizer lowered = make(true, false);
  EXPECT_THROW(lowered.encode({"\x80"}, false), std::invalid_argument);
  EXPECT_EQ(lowered.cache_size(), 0u);
}

TEST(WordPiece, MovedTokenizerKeepsItsVocabularyAndCache) {
  WordPieceTokenizer first = make();
  first.encode({"unaffable"}, false);
  WordPieceTokenizer second(std::move(first));
  EXPECT_EQ(second.cache_size(), 1u);
  WordPieceTokenizer third = make(true, true);
  third = std::move(second);
  EXPECT_EQ(ids(third, "unaffable"), (Ids{3, 4, 5}));
  EXPECT_EQ(third.cache_size(), 1u);
}

} // namespace
} // namespace velmora
