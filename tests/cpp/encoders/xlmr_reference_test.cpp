// XLM-R unigram encodings against `sentencepiece` with a model it trained
// (pieces, scores and NFKC charsmap taken from that model).

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "subword_reference_support.hpp"
#include "velmora/xlmr_tokenizer.hpp"

namespace velmora {
namespace {

// Segmentations that reorder the same pieces have equal totals; we return
// the one whose last piece is the longest, sentencepiece another.
const std::string boundary = "\xE2\x96\x81";
const std::string equal_totals = "equal totals keep the longest last piece";
const std::vector<test::TokenDeviation> named_deviations = {
    {std::string(65, '_'),
     equal_totals,
     {boundary, "_", std::string(16, '_'), std::string(16, '_'), std::string(16, '_'),
      std::string(16, '_')}},
    {std::string(57, '?'),
     equal_totals,
     {boundary, "?", std::string(14, '?'), std::string(14, '?'), std::string(14, '?'),
      std::string(14, '?')}},
    {std::string(25, '!'),
     equal_totals,
     {boundary + "!!", std::string(10, '!'), std::string(13, '!')}},
};

void compare_set(const std::string& set) {
  const test::ReferenceTable table =
      test::read_reference_table(test::fixture("subword/xlmr/" + set + ".tsv"));
  const XLMRobertaTokenizer tokenizer = test::trained_xlmr();
  test::compare_with_reference(
      "xlmr " + set, table, 0, [&](const std::string& word) { return tokenizer.tokenize(word); },
      test::deviations_in(table, test::trained_unigram_model().pieces, named_deviations));
}

TEST(XLMRobertaReference, MultilingualWords) {
  compare_set("multilingual");
}

TEST(XLMRobertaReference, EwtDevWords) {
  if (const auto skipped = test::ewt_tables_skipped()) {
    GTEST_SKIP() << "fixtures were generated without the treebank: " << *skipped;
  }
  compare_set("ewt");
}

} // namespace
} // namespace velmora
