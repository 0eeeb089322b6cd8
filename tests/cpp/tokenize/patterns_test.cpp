#include <chrono>
#include <random>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tokenize/patterns.hpp"
#include "tokenize/tokenizer_impl.hpp"
#include "tokenizer_test_support.hpp"

namespace velmora::detail::tokenize {
namespace {

using Spans = std::vector<std::pair<std::size_t, std::size_t>>;

Spans matches(const Pattern& pattern, const std::string& text) {
  Spans spans;
  pattern.for_each_match(text, 0, text.size(),
                         [&](std::size_t x, std::size_t y) { spans.emplace_back(x, y); });
  return spans;
}

// The marked units as a string of '1' and '0'.
std::string marks(const Pattern& pattern, const std::string& text) {
  const auto units = test::units_of(text);
  std::vector<float> mask(units.size(), 0.0F);
  mark_pattern_matches(text, pattern, mask);
  std::string out;
  for (float value : mask) {
    out += value != 0.0F ? '1' : '0';
  }
  return out;
}

std::string ones(std::size_t before, std::size_t count, std::size_t after) {
  return std::string(before, '0') + std::string(count, '1') + std::string(after, '0');
}

TEST(FeaturePatterns, MarkTheDocumentedExamples) {
  const FeaturePatterns& patterns = feature_patterns();
  EXPECT_EQ(marks(patterns.labeled_field, "Name: John"), ones(0, 5, 5));
  // At most three capitalised words before the colon.
  EXPECT_EQ(marks(patterns.labeled_field, "Due Date Of Birth: x"), ones(4, 14, 2));
  EXPECT_EQ(marks(patterns.phone_id, "call (555) 123-4567 now"), ones(5, 14, 4));
  EXPECT_EQ(marks(patterns.phone_id, "555-123-4567 x1234 x12"), ones(0, 12, 1) + "11111" + "0000");
  EXPECT_EQ(marks(patterns.date_pattern, "March 5, 2024"), ones(0, 13, 0));
  EXPECT_EQ(marks(patterns.date_pattern, "march 5, 2024"), ones(0, 0, 13));
  EXPECT_EQ(marks(patterns.date_pattern, "on 12/31/99."), ones(3, 8, 1));
  EXPECT_EQ(marks(patterns.currency, "$ 1,200.50 and $x"), ones(0, 10, 7));
  // Units are characters: a match that starts inside text after a two-byte
  // character still marks the right units.
  EXPECT_EQ(marks(patterns.currency, "é$5"), "011");
}

TEST(FeaturePatterns, ClassesAndBoundariesAreAscii) {
  const FeaturePatterns& patterns = feature_patterns();
  // é is not a word character, so \b sits between it and the capital.
  EXPECT_EQ(marks(patterns.labeled_field, "éName:"), "011111");
  EXPECT_EQ(marks(patterns.labeled_field, "xName:"), "000000");
  // NBSP (C2 A0) is not \s; a vertical tab is.
  EXPECT_EQ(marks(patterns.currency, "$\u00A05"), "000");
  EXPECT_EQ(marks(patterns.currency, "$\v5"), "111");
  // \b at the end of the subject and before a non-ASCII byte.
  EXPECT_EQ(marks(patterns.phone_id, "x123é"), "11110");
}

TEST(FeaturePatterns, AgreeWithTheStandardEcmaScriptEngine) {
  const FeaturePatterns& features = feature_patterns();
  const Pattern* ours[] = {&features.labeled_field, &features.phone_id, &features.date_pattern,
                           &features.currency, &url_email_pattern()};
  ASSERT_EQ(kUrlEmailSource.size(), 735u);
  // The standard ECMAScript engine recurses per character, so it only serves
  // as the yardstick on short texts.
  std::vector<std::regex> ecma;
  for (std::string_view source : {kLabeledFieldSource, kPhoneIdSource, kDatePatternSource,
                                  kCurrencySource, kUrlEmailSource}) {
    ecma.emplace_back(source.begin(), source.end(), std::regex::ECMAScript | std::regex::optimize);
  }

  const std::vector<std::string> pieces = {
      "http://", "https://", "www.", "www",    "wwwx.",   ".com", ".co",
      ".org",    ".uk",      "@",    "\"",     "\\ ",     "\\\"", "[192.168.0.1]",
      "[a-b:x]", "a-b",      "x123", "x12345", "(555) ",  "123",  "-",
      "4567",    "12/31/",   "99",   "March ", "5, ",     "2024", "$",
      "1,2.5",   "Name",     ": ",   " ",      "\t",      "é",    "中",
      "A",       "b",        "Zz",   ".",      ",",       "/",    "_",
      "0",       "\v",       "\x01", "\x7f",   "\xC2\xA0"};
  std::mt19937 rng(97);
  for (int round = 0; round < 1500; ++round) {
    std::string text;
    const int count = 1 + static_cast<int>(rng() % 14);
    for (int k = 0; k < count; ++k) {
      text += pieces[rng() % pieces.size()];
    }
    for (std::size_t p = 0; p < ecma.size(); ++p) {
      Spans expected;
      for (auto it = std::sregex_iterator(text.begin(), text.end(), ecma[p]);
           it != std::sregex_iterator(); ++it) {
        const auto start = static_cast<std::size_t>(it->position(0));
        expected.emplace_back(start, start + static_cast<std::size_t>(it->length(0)));
      }
      ASSERT_EQ(matches(*ours[p], text), expected) << "pattern " << p << " on: " << text;
    }
  }
}

TEST(FeaturePatterns, LongInputsNeitherOverflowNorStall) {
  const FeaturePatterns& patterns = feature_patterns();
  const std::string digits(1 << 20, '7');
  const std::string money = "$" + std::string(1 << 20, '9');
  std::string words;
  while (words.size() < (1u << 20)) {
    words += "Abc Def Ghi:Jk 555-123-4567 March 5, 2024 ";
  }
  const auto started = std::chrono::steady_clock::now();
  for (const std::string* text : std::vector<const std::string*>{&digits, &money, &words}) {
    for (const Pattern* pattern : {&patterns.labeled_field, &patterns.phone_id,
                                   &patterns.date_pattern, &patterns.currency}) {
      std::vector<float> mask(text->size(), 0.0F);
      mark_pattern_matches(*text, *pattern, mask);
    }
  }
  std::vector<float> mask(money.size(), 0.0F);
  mark_pattern_matches(money, patterns.currency, mask);
  EXPECT_EQ(mask.front(), 1.0F);
  EXPECT_EQ(mask.back(), 1.0F);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
}

// Labels after the guard, for a text whose units all start as `label`.
std::vector<std::int64_t> guarded(const std::string& text, std::vector<std::int64_t> labels) {
  detail::merge_url_and_email_tokens(test::units_of(text), labels);
  return labels;
}

TEST(AddressGuard, KeepsEachAddressInOneToken) {
  //                        0123456789012345678901234
  const std::string text = "mail a.b@c.org now";
  std::vector<std::int64_t> labels(text.size(), 1);
  labels[13] = 2;
  std::vector<std::int64_t> expected = labels;
  for (std::size_t i = 5; i < 13; ++i) {
    expected[i] = 0;
  }
  // The address's last character keeps its sentence end.
  EXPECT_EQ(guarded(text, labels), expected);

  // A last character labelled 0 becomes a plain token end.
  const std::string web = "see www.example.com ok";
  std::vector<std::int64_t> zeros(web.size(), 0);
  std::vector<std::int64_t> marked = guarded(web, zeros);
  EXPECT_EQ(marked[18], 1);
  EXPECT_EQ(std::count(marked.begin(), marked.end(), 1), 1);
}

TEST(AddressGuard, LeavesTextWithoutDotOrAtAlone) {
  const std::string text = "http://localhost:8080 abc";
  const std::vector<std::int64_t> labels = {1, 0, 2, 0, 1, 3, 0, 4, 1, 1, 1, 1, 1,
                                            1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
  EXPECT_EQ(guarded(text, labels), labels);
  EXPECT_TRUE(guarded("", {}).empty());
}

TEST(AddressGuard, MatchesAcrossEscapedSpacesOnly) {
  // A quoted local part may hold a backslash-escaped space.
  const std::string text = "\"a\\ b\"@x.org";
  std::vector<std::int64_t> labels(text.size(), 1);
  std::vector<std::int64_t> expected(text.size(), 0);
  expected.back() = 1;
  EXPECT_EQ(guarded(text, labels), expected);
}

// Address searches cost up to the square of a whitespace-free run on text
// like "a.a.a.a...", so runs longer than any address are left unsearched.
TEST(AddressGuard, HostileRunsFinishQuickly) {
  const auto repeat = [](const std::string& piece, std::size_t size) {
    std::string out;
    while (out.size() < size) {
      out += piece;
    }
    return out;
  };
  std::string letters(1 << 20, 'q');
  letters[letters.size() / 2] = '@';
  const std::string dotted = repeat("a.", 1 << 20);
  const std::string pieces = repeat(repeat("a.", 2000) + " ", 1 << 20);
  const auto started = std::chrono::steady_clock::now();
  for (const std::string* text : std::vector<const std::string*>{&letters, &dotted, &pieces}) {
    std::vector<std::int64_t> labels(text->size(), 0);
    detail::merge_url_and_email_tokens(test::units_of(*text), labels);
  }
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(60));

  // Within the bound the search is exact, also for an address at a long
  // run's end.
  const std::string address = repeat("a.", 1000) + "b@c.org";
  std::vector<std::int64_t> labels(address.size(), 1);
  merge_url_and_email_tokens(test::units_of(address), labels);
  EXPECT_EQ(std::count(labels.begin(), labels.end(), 1), 1);
  EXPECT_EQ(labels.back(), 1);
}

} // namespace
} // namespace velmora::detail::tokenize
