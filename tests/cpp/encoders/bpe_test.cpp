#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "subword_fixtures.hpp"
#include "velmora/byte_bpe_tokenizer.hpp"

namespace velmora {
namespace {

using Ids = std::vector<std::int64_t>;
using test::u8;

// The GPT-2 byte alphabet, written out from its definition.
std::string byte_symbol(unsigned byte) {
  if ((byte >= 0x21 && byte <= 0x7E) || (byte >= 0xA1 && byte <= 0xAC) || byte >= 0xAE) {
    return u8(byte);
  }
  unsigned index = 0;
  for (unsigned b = 0; b < byte; ++b) {
    index += !((b >= 0x21 && b <= 0x7E) || (b >= 0xA1 && b <= 0xAC) || b >= 0xAE);
  }
  return u8(0x100 + index);
}

// A vocabulary of the special tokens and the 256 byte tokens, grown by merges.
struct Model {
  std::vector<std::string> vocabulary = {"<unk>", "<s>", "</s>"};
  std::vector<std::pair<std::string, std::string>> merges;

  Model() {
    for (unsigned b = 0; b < 256; ++b) {
      vocabulary.push_back(byte_symbol(b));
    }
  }
  void merge(const std::string& left, const std::string& right) {
    merges.emplace_back(left, right);
    if (std::find(vocabulary.begin(), vocabulary.end(), left + right) == vocabulary.end()) {
      vocabulary.push_back(left + right);
    }
  }
  // Merges that build `token` from its symbols, left to right.
  void build(const std::vector<std::string>& symbols) {
    std::string built = symbols.at(0);
    for (std::size_t i = 1; i < symbols.size(); ++i) {
      merge(built, symbols[i]);
      built += symbols[i];
    }
  }
  std::int64_t id(const std::string& token) const {
    const auto found = std::find(vocabulary.begin(), vocabulary.end(), token);
    EXPECT_NE(found, vocabulary.end()) << token;
    return found - vocabulary.begin();
  }
  Ids ids(const std::vector<std::string>& tokens) const {
    Ids out;
    for (const std::string& token : tokens) {
      out.push_back(id(token));
    }
    return out;
  }
  ByteBPETokenizer tokenizer(bool add_prefix_space = false) const {
    return ByteBPETokenizer(vocabulary, merges, "<unk>", "<s>", "</s>", add_prefix_space);
  }
};

const std::string space = u8(0x120); // the byte 0x20

TEST(ByteBPE, PreTokensBoundMerges) {
  Model model;
  // Merges across the expected pre-token boundaries, ranked first: they
  // apply only if a boundary is missed.
  model.merge("o", space);
  model.merge("d", "'");
  model.merge("s", space);
  model.merge("4", "!");
  model.merge("n", "'");
  model.merge("'", "S");
  model.merge(space, "b");
  model.merge("e", u8(0xCC)); // e + first byte of U+0301
  model.build({"H", "e", "l", "l", "o"});
  model.build({space, "w", "o", "r", "l", "d"});
  model.build({"'", "s"});
  model.build({space, "2", "0", "2", "4"});
  model.build({"!", "!"});
  model.build({"d", "o", "n"});
  model.build({"'", "t"});
  model.build({space, space});
  const ByteBPETokenizer tokenizer = model.tokenizer();
  EXPECT_EQ(tokenizer.tokenize("Hello world's 2024!!"),
            model.ids({"Hello", space + "world", "'s", space + "2024", "!!"}));
  EXPECT_EQ(tokenizer.tokenize("don't"), model.ids({"don", "'t"}));
  EXPECT_EQ(tokenizer.tokenize("'S"), model.ids({"'", "S"}));
  EXPECT_EQ(tokenizer.tokenize("a  b"), model.ids({"a", space + space, "b"}));
  // A mark continues the letter run.
  EXPECT_EQ(tokenizer.tokenize("e" + u8(0x301)), model.ids({"e" + u8(0xCC), byte_symbol(0x81)}));
}

TEST(ByteBPE, MergesApplyByRankLeftmostFirst) {
  Model model;
  model.merge("a", "a");
  model.merge("b", "c");
  model.merge("a", "bc");
  const ByteBPETokenizer tokenizer = model.tokenizer();
  EXPECT_EQ(tokenizer.tokenize("aaa"), model.ids({"aa", "a"}));
  EXPECT_EQ(tokenizer.tokenize("aabc"), model.ids({"aa", "bc"}));
  EXPECT_EQ(tokenizer.tokenize("abc"), model.ids({"abc"}));
  EXPECT_EQ(tokenizer.tokenize("xyz"), model.ids({"x", "y", "z"}));
  EXPECT_EQ(tokenizer.vocabulary_size(), model.vocabulary.size());
  EXPECT_TRUE(ByteBPETokenizer::highway_enabled());
}

TEST(ByteBPE, PrefixSpaceOnlyBeforeNonWhitespace) {
  Model model;
  const ByteBPETokenizer prefixed = model.tokenizer(true);
  EXPECT_EQ(prefixed.tokenize("hi"), model.ids({space, "h", "i"}));
  EXPECT_EQ(prefixed.tokenize("\thi"), model.ids({byte_symbol('\t'), "h", "i"}));
  EXPECT_EQ(prefixed.tokenize(u8(0x3000) + "x"),
            model.ids({byte_symbol(0xE3), byte_symbol(0x80), byte_symbol(0x80), "x"}));
  EXPECT_TRUE(prefixed.tokenize("").empty());
  EXPECT_EQ(model.tokenizer(false).tokenize("hi"), model.ids({"h", "i"}));
}

TEST(ByteBPE, EncodingLayout) {
  Model model;
  const ByteBPETokenizer tokenizer = model.tokenizer();
  const WordPieceEncoding encoding = tokenizer.encode({"a", "", "bc"}, true);
  EXPECT_EQ(encoding.input_ids, (Ids{1, model.id("a"), model.id("b"), model.id("c"), 2}));
  EXPECT_EQ(encoding.word_ids, (Ids{-1, 0, 2, 2, -1}));
  EXPECT_EQ(encoding.attention_mask, (Ids{1, 1, 1, 1, 1}));
  EXPECT_EQ(tokenizer.encode({}, true).word_ids, (Ids{-1, -1}));
  EXPECT_TRUE(tokenizer.encode({}, false).input_ids.empty());
  // Special-token text inside a word is ordinary text.
  EXPECT_EQ(tokenizer.tokenize("<s>").size(), 3u);
}

TEST(ByteBPE, ConstructionFailures) {
  const auto message = [](const Model& model) {
    try {
      model.tokenizer();
    } catch (const SubwordError& error) {
      return std::string(error.what());
    }
    return std::string("no error");
  };
  Model model;
  model.merges.emplace_back("a", "b");
  EXPECT_EQ(message(model), "byte-level BPE vocabulary is missing token: ab");
  model = Model();
  model.vocabulary.erase(model.vocabulary.begin() + 3 + 0x0A);
  EXPECT_EQ(message(model), "byte-level BPE vocabulary is missing token: " + u8(0x10A));
  model = Model();
  model.vocabulary.erase(model.vocabulary.begin());
  EXPECT_EQ(message(model), "byte-level BPE vocabulary is missing token: <unk>");
  model = Model();
  model.vocabulary.push_back("a");
  EXPECT_EQ(message(model), "byte-level BPE vocabulary contains a duplicate token");
  model.vocabulary.clear();
  EXPECT_EQ(message(model), "byte-level BPE vocabulary cannot be empty");
  // A repeated merge keeps its first rank: (a, b) stays ahead of (b, c).
  model = Model();
  model.merge("a", "b");
  model.merge("b", "c");
  model.merge("a", "b");
  EXPECT_EQ(model.tokenizer().tokenize("abc"), model.ids({"ab", "c"}));
}

TEST(ByteBPE, MalformedUtf8ReportsTheOffsetInTheWord) {
  const ByteBPETokenizer tokenizer = Model().tokenizer(true);
  try {
    tokenizer.tokenize("ab\xFF");
    FAIL() << "expected SubwordError";
  } catch (const SubwordError& error) {
    EXPECT_STREQ(error.what(), "invalid UTF-8 sequence at byte offset 2");
  }
  EXPECT_THROW(tokenizer.encode({"ok", "\xC0\x80"}, true), SubwordError);
  EXPECT_EQ(tokenizer.cache_size(), 1u);
}

} // namespace
} // namespace velmora
