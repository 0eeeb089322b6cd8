// Byte-level BPE encodings against the `tokenizers` package's ByteLevel
// pre-tokenizer and BPE model over a vocabulary and merges it trained.

#include <map>
#include <string>

#include <gtest/gtest.h>

#include "subword_reference_support.hpp"
#include "velmora/byte_bpe_tokenizer.hpp"

namespace velmora {
namespace {

// Words that our pre-tokenizer deliberately cuts otherwise than the GPT-2
// pattern. The generator lists our pre-tokens and encodes each whole with
// the reference, so the expected ids hold for any trained vocabulary.
const std::map<std::string, std::string> own_pretokens = {
    // Two spaces form one whitespace run; the pattern keeps the last space
    // for the word after it.
    {"a  b", "a space before a space starts a whitespace run"},
    // Only a word that does not begin with whitespace gets the prefix space;
    // the reference tests for U+0020 alone.
    {"\xE3\x80\x80ideo", "no prefix space before U+3000"},
    // U+FE0F is a mark, so it starts a letter run of its own after U+2764.
    {"\xE2\x9D\xA4\xEF\xB8\x8F", "a mark belongs to a letter run"},
};

void compare_set(const std::string& set) {
  const test::ReferenceTable table =
      test::read_reference_table(test::fixture("subword/bpe/" + set + ".tsv"));
  const test::ReferenceTable own =
      test::read_reference_table(test::fixture("subword/bpe/deviations.tsv"));
  ASSERT_EQ(own.columns, table.columns);
  ASSERT_EQ(own.words.size(), own_pretokens.size());
  for (std::size_t c = 0; c < 2; ++c) {
    test::Deviations deviations;
    for (std::size_t i = 0; i < own.words.size(); ++i) {
      const auto name = own_pretokens.find(own.words[i]);
      ASSERT_NE(name, own_pretokens.end()) << "unnamed: '" << test::show(own.words[i]) << "'";
      deviations.emplace(name->first, test::NamedDeviation{name->second, own.ids[i].at(c)});
    }
    const ByteBPETokenizer tokenizer = test::trained_byte_bpe(c == 1);
    test::compare_with_reference(
        "bpe " + set, table, c, [&](const std::string& word) { return tokenizer.tokenize(word); },
        deviations);
  }
}

TEST(ByteBPEReference, MultilingualWords) {
  compare_set("multilingual");
}

TEST(ByteBPEReference, EwtDevWords) {
  if (const auto skipped = test::ewt_tables_skipped()) {
    GTEST_SKIP() << "fixtures were generated without the treebank: " << *skipped;
  }
  compare_set("ewt");
}

} // namespace
} // namespace velmora
