#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <velmora/text.hpp>
#include <velmora/tokenizer.hpp>

#include "tokenize/char_units.hpp"
#include "tokenizer_test_support.hpp"

namespace velmora {
namespace {

// A text slice as the tokenizer reads it: whitespace runs become one space,
// and line feeds vanish when the model skips them.
std::string normalised(const std::string& slice, bool skip_newline) {
  std::string out;
  for (const auto& unit : test::units_of(slice)) {
    if (skip_newline && unit.codepoint == 0x0A) {
      continue;
    }
    if (detail::tokenize::is_tokenizer_space(unit.codepoint)) {
      if (out.empty() || out.back() != ' ') {
        out += ' ';
      }
    } else {
      out += unit.text;
    }
  }
  return out;
}

// Every token's offsets slice the text to the token's text (an overlong
// token reads "<UNK>"), in increasing order.
void expect_consistent_offsets(const Document& document, bool skip_newline) {
  const Utf8Text text(document.text());
  std::uint32_t previous_end = 0;
  const TokenSequence tokens = document.tokens();
  for (std::uint64_t t = 0; t < tokens.size(); ++t) {
    const Token token = tokens.at(static_cast<std::int64_t>(t));
    const std::uint32_t start = *token.start_char();
    const std::uint32_t end = *token.end_char();
    ASSERT_LE(previous_end, start);
    ASSERT_LT(start, end);
    ASSERT_LE(end, text.codepoint_count());
    previous_end = end;
    if (token.text() == "<UNK>") {
      continue;
    }
    std::string expected = normalised(text.slice(start, end), skip_newline);
    // A token may end on spaces its offsets do not cover.
    std::string actual = token.text();
    while (!actual.empty() && actual.back() == ' ') {
      actual.pop_back();
    }
    ASSERT_EQ(actual, expected) << "token at [" << start << ", " << end << ")";
  }
}

TEST(TokenizerRealText, TokenizesTheEwtDevelopmentText) {
  VELMORA_REQUIRE_SHARED(conllu, "ud-en-ewt/en_ewt-ud-dev.conllu");
  std::vector<Document> documents;
  for (const std::string& text : test::conllu_documents(conllu)) {
    documents.emplace_back(text);
  }
  ASSERT_GT(documents.size(), 50u);
  TokenizerPlan plan(test::tokenizer_bundle("mwt_gated"), false);
  const std::vector<Document> tokenized = plan.process_bulk(documents);
  std::size_t tokens = 0;
  for (std::size_t d = 0; d < tokenized.size(); ++d) {
    expect_consistent_offsets(tokenized[d], false);
    tokens += tokenized[d].num_tokens();
    if (d % 25 == 0) {
      EXPECT_EQ(plan.process(documents[d]).to_conll(), tokenized[d].to_conll());
    }
  }
  EXPECT_GT(tokens, 10000u);
}

std::string repeat_to(const std::string& piece, std::size_t size) {
  std::string out;
  while (out.size() < size) {
    out += piece;
  }
  out.resize(size);
  return out;
}

TEST(TokenizerRealText, SurvivesHostileText) {
  constexpr std::size_t kSize = 48 * 1024;
  std::string letters_at(kSize, 'q');
  letters_at[kSize / 3] = '@';
  const std::vector<std::string> texts = {
      repeat_to("Lorem.ipsum,dolor@sit-amet;", kSize),
      std::string(kSize, '4'),
      letters_at,
      "a" + repeat_to("\xCC\x81", kSize) + " b",
      repeat_to(std::string("x\0y\0\n\0\n", 7), kSize),
      repeat_to("\"\\ \"@a.", kSize),
  };
  TokenizerPlan plan(test::tokenizer_bundle("dict_plain"), false);
  for (const std::string& text : texts) {
    const Document document = plan.process(Document(text));
    expect_consistent_offsets(document, true);
    EXPECT_GT(document.num_tokens(), 0u);
  }
  try {
    plan.predict_labels("ab\xFF");
    FAIL() << "invalid UTF-8 accepted";
  } catch (const TokenizerModelError& error) {
    EXPECT_STREQ(error.what(), "invalid UTF-8 sequence at byte offset 2");
  }
}

} // namespace
} // namespace velmora
