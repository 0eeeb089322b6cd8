#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "subword_fixtures.hpp"
#include "velmora/xlmr_tokenizer.hpp"

namespace velmora {
namespace {

using Ids = std::vector<std::int64_t>;
using test::u8;

const std::string boundary = "\xE2\x96\x81"; // U+2581
const std::vector<unsigned char> empty_trie = {0, 0, 0, 0};

struct Model {
  std::vector<std::string> pieces = {"<unk>", "<s>", "</s>", boundary};
  std::vector<float> scores = {0.0f, 0.0f, 0.0f, -1.0f};

  Model& add(const std::string& piece, float score) {
    pieces.push_back(piece);
    scores.push_back(score);
    return *this;
  }
  XLMRobertaTokenizer tokenizer(std::vector<unsigned char> charsmap = empty_trie) const {
    return XLMRobertaTokenizer(pieces, scores, std::move(charsmap), 0, "<s>", "</s>");
  }
  // The pieces of the ids, concatenated.
  std::string text(const Ids& ids) const {
    std::string out;
    for (const std::int64_t id : ids) {
      out += pieces.at(static_cast<std::size_t>(id));
    }
    return out;
  }
};

TEST(XLMRoberta, WhitespaceRunsBecomePiecesWithBoundaryMarks) {
  Model model;
  model.add(boundary + "Hello", -1.0f).add("w", -1).add("o", -1).add("r", -1).add("l", -1);
  model.add("d", -1);
  const XLMRobertaTokenizer tokenizer = model.tokenizer();
  EXPECT_EQ(tokenizer.tokenize("Hello"), (Ids{4}));
  EXPECT_EQ(tokenizer.tokenize(" Hello  world\t"), (Ids{4, 3, 5, 6, 7, 8, 9}));
  EXPECT_TRUE(tokenizer.tokenize("").empty());
  EXPECT_TRUE(tokenizer.tokenize("  \t").empty());
  const WordPieceEncoding encoding = tokenizer.encode({"Hello", " ", "Hello"}, true);
  EXPECT_EQ(encoding.input_ids, (Ids{1, 4, 4, 2}));
  EXPECT_EQ(encoding.word_ids, (Ids{-1, 0, 2, -1}));
  EXPECT_EQ(encoding.attention_mask, (Ids{1, 1, 1, 1}));
  EXPECT_EQ(tokenizer.vocabulary_size(), model.pieces.size());
  EXPECT_TRUE(XLMRobertaTokenizer::highway_enabled());
}

TEST(XLMRoberta, ViterbiTiesUnknownsAndScores) {
  Model model;
  model.add("a", -1).add("b", -1).add("ab", -2).add(boundary + "a", -2);
  model.add("cd", -1).add("e", -1).add(boundary + "z", -5);
  const XLMRobertaTokenizer tokenizer = model.tokenizer();
  // Three segmentations total -3; the longest last piece wins.
  EXPECT_EQ(model.text(tokenizer.tokenize("ab")), boundary + "ab");
  // No unknown step where a longer piece starts, even without a
  // one-character piece there.
  EXPECT_EQ(model.text(tokenizer.tokenize("cd")), boundary + "cd");
  EXPECT_EQ(tokenizer.tokenize("ce"), (Ids{3, 0, 9}));
  // Unknowns are scored with the unknown piece's own score (0 here) and
  // never fused.
  EXPECT_EQ(tokenizer.tokenize("zz"), (Ids{3, 0, 0}));
  model.scores[0] = -10.0f;
  EXPECT_EQ(model.tokenizer().tokenize("zz"), (Ids{10, 0}));
  // A repeated piece keeps its first id (and that id's score).
  model.add("a", -0.5f);
  EXPECT_EQ(model.tokenizer().tokenize("ba"), (Ids{3, 5, 4}));
}

// A charsmap compiled by sentencepiece from the rules in
// tools/fixtures/gen_subword.py.
TEST(XLMRoberta, CharsmapNormalisesGraphemes) {
  Model model;
  for (const char* piece : {"x", "y", "E", "O", "U", "u", "^", "~", "_", "-", "|", "m", "w", "d"}) {
    model.add(piece, -1.0f);
  }
  const XLMRobertaTokenizer tokenizer =
      model.tokenizer(test::read_bytes(test::fixture("subword/xlmr/rules.bin")));
  const auto normalized = [&](const std::string& word) {
    return model.text(tokenizer.tokenize(word));
  };
  EXPECT_EQ(normalized("a"), boundary + "x");
  // The shortest matching key stands for the whole grapheme.
  EXPECT_EQ(normalized("a" + u8(0x301)), boundary + "x");
  EXPECT_EQ(normalized("e" + u8(0x301)), boundary + "E");
  EXPECT_EQ(normalized("o" + u8(0x302) + u8(0x303)), boundary + "O"); // 5 bytes: whole
  EXPECT_EQ(normalized("u" + u8(0x302) + u8(0x303) + u8(0x304)), boundary + "u^~_");
  EXPECT_EQ(normalized("\r\n"), boundary + "|");
  EXPECT_EQ(normalized("\r" + u8(0x301)), boundary + "-"); // CR takes no mark
  // The joiner binds the code point after it, not the one before.
  EXPECT_EQ(normalized(u8(0x1F468) + u8(0x200D) + "z"), boundary + "mw");
  EXPECT_EQ(normalized("abc"), boundary + "xdd");
  EXPECT_TRUE(tokenizer.tokenize("b").empty());
}

TEST(XLMRoberta, MalformedCharsmapUnitsOnlyFailToMatch) {
  Model model;
  model.add("x", -1);
  std::mt19937 random(7);
  for (int round = 0; round < 50; ++round) {
    std::vector<unsigned char> charsmap = {64, 0, 0, 0};
    for (int i = 0; i < 64 + 16; ++i) {
      charsmap.push_back(static_cast<unsigned char>(random()));
    }
    const XLMRobertaTokenizer tokenizer = model.tokenizer(charsmap);
    const std::vector<std::string> words = {"x", "ab", u8(0xE9) + u8(0x301), u8(0x1F600), "\r\n"};
    for (const std::string& word : words) {
      try {
        tokenizer.tokenize(word);
      } catch (const SubwordError&) {
        // A blob that is not UTF-8 may be refused, but nothing else.
      }
    }
  }
}

TEST(XLMRoberta, ConstructionFailures) {
  const auto message = [](Model model, std::vector<unsigned char> charsmap,
                          long long unknown_id = 0) {
    try {
      XLMRobertaTokenizer(model.pieces, model.scores, charsmap, unknown_id, "<s>", "</s>");
    } catch (const SubwordError& error) {
      return std::string(error.what());
    }
    return std::string("no error");
  };
  const std::string unequal = "XLM-R vocabulary and score arrays must be nonempty and equal";
  Model shorter;
  shorter.scores.pop_back();
  EXPECT_EQ(message(shorter, empty_trie), unequal);
  EXPECT_EQ(message(Model{{}, {}}, empty_trie), unequal);
  EXPECT_EQ(message(Model(), empty_trie, 4), "XLM-R unknown id is out of range");
  EXPECT_EQ(message(Model(), empty_trie, -1), "XLM-R unknown id is out of range");
  Model without_cls;
  without_cls.pieces[1] = "<cls>";
  EXPECT_EQ(message(without_cls, empty_trie), "XLM-R vocabulary is missing token: <s>");
  EXPECT_EQ(message(Model(), {1, 2, 3}), "XLM-R precompiled charsmap is truncated");
  EXPECT_EQ(message(Model(), {6, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8}),
            "XLM-R precompiled charsmap has invalid trie");
  EXPECT_EQ(message(Model(), {8, 0, 0, 0, 1, 2, 3, 4}),
            "XLM-R precompiled charsmap has invalid trie");
  EXPECT_EQ(message(Model(), {4, 0, 0, 0, 1, 2, 3, 4}), "no error");
}

TEST(XLMRoberta, MalformedUtf8FailsWithoutCaching) {
  const XLMRobertaTokenizer tokenizer = Model().tokenizer();
  try {
    tokenizer.encode({"ok", "abc\xED\xA0\x80"}, false);
    FAIL() << "expected SubwordError";
  } catch (const SubwordError& error) {
    EXPECT_STREQ(error.what(), "invalid UTF-8 sequence at byte offset 3");
  }
  EXPECT_EQ(tokenizer.cache_size(), 1u);
}

} // namespace
} // namespace velmora
