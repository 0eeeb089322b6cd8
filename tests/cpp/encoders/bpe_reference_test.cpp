// Byte-level BPE encodings against the `tokenizers` package's ByteLevel
// pre-tokenizer and BPE model over a vocabulary and merges it trained.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "subword_reference_support.hpp"
#include "velmora/byte_bpe_tokenizer.hpp"

namespace velmora {
namespace {

// Where our pre-tokenizer deliberately differs from the GPT-2 pattern.
test::Deviations named_deviations(bool add_prefix_space) {
  const auto ids = [](std::vector<std::string> tokens) {
    return test::token_ids(test::trained_bpe_vocabulary(), tokens);
  };
  // "\u0120" is the space and "\u0122" the byte 0x80 in the byte alphabet.
  const std::string space = "\xC4\xA0";
  const std::string byte80 = "\xC4\xA2";
  test::Deviations deviations = {
      // Two spaces form one whitespace run; the pattern keeps the last space
      // for the word after it.
      {"a  b",
       {"a space before a space starts a whitespace run",
        ids({add_prefix_space ? space + "a" : "a", space, space, "b"})}},
  };
  if (add_prefix_space) {
    // Only a word that does not begin with whitespace gets the prefix space;
    // the reference tests for U+0020 alone.
    deviations.emplace("\xE3\x80\x80ideo",
                       test::NamedDeviation{"no prefix space before U+3000",
                                            ids({"\xC3\xA3", byte80, byte80, "ideo"})});
  }
  return deviations;
}

void compare_set(const std::string& set) {
  const test::ReferenceTable table =
      test::read_reference_table(test::fixture("subword/bpe/" + set + ".tsv"));
  for (std::size_t c = 0; c < 2; ++c) {
    const ByteBPETokenizer tokenizer = test::trained_byte_bpe(c == 1);
    test::compare_with_reference(
        "bpe " + set, table, c, [&](const std::string& word) { return tokenizer.tokenize(word); },
        named_deviations(c == 1));
  }
}

TEST(ByteBPEReference, MultilingualWords) {
  compare_set("multilingual");
}

TEST(ByteBPEReference, EwtDevWords) {
  VELMORA_REQUIRE_SHARED(conllu, "ud-en-ewt/en_ewt-ud-dev.conllu");
  (void)conllu;
  compare_set("ewt");
}

} // namespace
} // namespace velmora
