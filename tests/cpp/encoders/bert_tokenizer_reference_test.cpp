// WordPiece encodings against the `tokenizers` package's BERT normalizer,
// pre-tokenizer and WordPiece model over one vocabulary it trained, in the
// four combinations of lower-casing and accent stripping.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "subword_reference_support.hpp"
#include "velmora/bert_tokenizer.hpp"

namespace velmora {
namespace {

struct Config {
  bool lowercase;
  bool strip_accents;
};

// Column order of the generated tables: per configuration the standard BERT
// pre-tokenizer, then the one that keeps ASCII symbols inside words.
constexpr Config configs[] = {{true, true}, {false, false}, {true, false}, {false, true}};

// The ASCII symbols $ + < = > ^ ` | ~ are not punctuation to us, so a word
// holding one is not split there; the reference splits at them.
bool has_ascii_symbol(const std::string& word) {
  return word.find_first_of("$+<=>^`|~") != std::string::npos;
}

// Words on which we deliberately differ from the BERT tokenizer, with our
// result. (Words with an ASCII symbol are compared with the reference that
// keeps those symbols inside words.)
const std::vector<test::TokenDeviation> named_deviations = {
    // A word that leaves no piece is encoded as "-", never as nothing.
    {"", "empty word falls back to '-'", {"-"}},
    {"\xE2\x80\x8B", "zero-width space alone falls back to '-'", {"-"}},
    {std::string(1, '\0'), "NUL alone falls back to '-'", {"-"}},
    // U+2B820..U+2B91F belong to the ideograph block U+2A700..U+2CEAF.
    {"a\xF0\xAB\xA0\xA0"
     "b",
     "ideograph U+2B820 is isolated",
     {"a", "\xF0\xAB\xA0\xA0", "b"}},
    // Our tables are Unicode 15.1, where U+0897 is unassigned and so dropped.
    {"x\xE0\xA2\x97", "U+0897 is removed like an unassigned code point", {"x"}},
};

void compare_set(const std::string& set) {
  const test::ReferenceTable table =
      test::read_reference_table(test::fixture("subword/wordpiece/" + set + ".tsv"));
  ASSERT_EQ(table.columns.size(), 2 * std::size(configs));
  const test::Deviations deviations =
      test::deviations_in(table, test::trained_wordpiece_vocabulary(), named_deviations);
  for (std::size_t c = 0; c < std::size(configs); ++c) {
    const WordPieceTokenizer tokenizer =
        test::trained_wordpiece(configs[c].lowercase, configs[c].strip_accents);
    test::compare_with_reference(
        "wordpiece " + set, table, 2 * c,
        [&](const std::string& word) { return tokenizer.encode({word}, false).input_ids; },
        deviations,
        [&](const std::string& word) -> std::optional<std::size_t> {
          if (has_ascii_symbol(word)) {
            return 2 * c + 1;
          }
          return std::nullopt;
        });
  }
}

TEST(WordPieceReference, MultilingualWords) {
  compare_set("multilingual");
}

TEST(WordPieceReference, EwtDevWords) {
  if (const auto skipped = test::ewt_tables_skipped()) {
    GTEST_SKIP() << "fixtures were generated without the treebank: " << *skipped;
  }
  compare_set("ewt");
}

} // namespace
} // namespace velmora
