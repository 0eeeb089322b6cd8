#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "encoders/subword_unicode.hpp"
#include "encoders/subword_unicode_tables.hpp"
#include "subword_fixtures.hpp"
#include "velmora/errors.hpp"

namespace velmora {
namespace {

using test::u8;

template <std::size_t N> std::uint64_t codepoints_in(const detail::CodepointRange (&ranges)[N]) {
  std::uint64_t total = 0;
  for (std::size_t i = 0; i < N; ++i) {
    EXPECT_LE(ranges[i].low, ranges[i].high);
    if (i > 0) {
      // Sorted, disjoint and never adjacent.
      EXPECT_GT(ranges[i].low, ranges[i - 1].high + 1) << "range " << i;
    }
    total += ranges[i].high - ranges[i].low + 1;
  }
  return total;
}

TEST(SubwordUnicodeTables, WordPieceTablesHaveTheUnicode151Counts) {
  EXPECT_EQ(std::size(detail::wordpiece_control_ranges), 712u);
  EXPECT_EQ(codepoints_in(detail::wordpiece_control_ranges), 964469u);
  EXPECT_EQ(std::size(detail::wordpiece_whitespace_ranges), 10u);
  EXPECT_EQ(codepoints_in(detail::wordpiece_whitespace_ranges), 29u);
  EXPECT_EQ(std::size(detail::wordpiece_punctuation_ranges), 191u);
  EXPECT_EQ(codepoints_in(detail::wordpiece_punctuation_ranges), 842u);
  EXPECT_EQ(std::size(detail::wordpiece_cjk_ranges), 6u);
  const detail::CodepointRange cjk[] = {{0x3400, 0x4DBF},   {0x4E00, 0x9FFF},   {0xF900, 0xFAFF},
                                        {0x20000, 0x2A6DF}, {0x2A700, 0x2CEAF}, {0x2F800, 0x2FA1F}};
  for (std::size_t i = 0; i < 6; ++i) {
    EXPECT_EQ(detail::wordpiece_cjk_ranges[i].low, cjk[i].low);
    EXPECT_EQ(detail::wordpiece_cjk_ranges[i].high, cjk[i].high);
  }
}

TEST(SubwordUnicodeTables, AccentTableSplitsByReplacementLength) {
  ASSERT_EQ(std::size(detail::accent_table), 15200u);
  std::size_t by_length[4] = {0, 0, 0, 0};
  for (std::size_t i = 0; i < std::size(detail::accent_table); ++i) {
    const auto& entry = detail::accent_table[i];
    ASSERT_LE(entry.length, 3u);
    ++by_length[entry.length];
    if (i > 0) {
      EXPECT_LT(detail::accent_table[i - 1].codepoint, entry.codepoint);
    }
  }
  EXPECT_EQ(by_length[0], 1985u); // nonspacing marks
  EXPECT_EQ(by_length[1], 2000u);
  EXPECT_EQ(by_length[2], 433u);
  EXPECT_EQ(by_length[3], 10782u); // Hangul syllables with a final jamo

  const std::uint32_t* replacement = nullptr;
  std::size_t length = 0;
  ASSERT_TRUE(detail::wordpiece_accent_replacement(0xE9, replacement, length));
  ASSERT_EQ(length, 1u);
  EXPECT_EQ(replacement[0], 0x65u);
  ASSERT_TRUE(detail::wordpiece_accent_replacement(0xD55C, replacement, length)); // 한
  ASSERT_EQ(length, 3u);
  EXPECT_EQ(replacement[0], 0x1112u);
  EXPECT_EQ(replacement[1], 0x1161u);
  EXPECT_EQ(replacement[2], 0x11ABu);
  ASSERT_TRUE(detail::wordpiece_accent_replacement(0x301, replacement, length));
  EXPECT_EQ(length, 0u);
  EXPECT_FALSE(detail::wordpiece_accent_replacement(0xFB01, replacement, length)); // ﬁ
  EXPECT_FALSE(detail::wordpiece_accent_replacement('e', replacement, length));
}

TEST(SubwordUnicodeTables, SubwordClassesHaveTheUnicode151Counts) {
  EXPECT_EQ(std::size(detail::subword_whitespace_ranges), 10u);
  EXPECT_EQ(codepoints_in(detail::subword_whitespace_ranges), 29u);
  EXPECT_EQ(std::size(detail::subword_letter_ranges), 660u);
  EXPECT_EQ(codepoints_in(detail::subword_letter_ranges), 136726u);
  EXPECT_EQ(std::size(detail::subword_mark_ranges), 310u);
  EXPECT_EQ(codepoints_in(detail::subword_mark_ranges), 2450u);
  EXPECT_EQ(std::size(detail::subword_number_ranges), 137u);
  EXPECT_EQ(codepoints_in(detail::subword_number_ranges), 1831u);
}

TEST(SubwordUnicodeClasses, MembershipOfTellingCodePoints) {
  for (const std::uint32_t c : {0x20u, 0x3000u, 0x1Fu, 0x1Cu, 0x85u, 0xA0u, 0x202Fu, 0x9u}) {
    EXPECT_TRUE(detail::is_subword_whitespace(c)) << std::hex << c;
  }
  for (const std::uint32_t c : {0x200Bu, 0xFEFFu}) {
    EXPECT_FALSE(detail::is_subword_whitespace(c));
    EXPECT_FALSE(detail::is_subword_letter(c));
    EXPECT_FALSE(detail::is_subword_mark(c));
    EXPECT_FALSE(detail::is_subword_number(c));
  }
  EXPECT_TRUE(detail::is_subword_mark(0x301));
  EXPECT_TRUE(detail::is_subword_number(0x663));
  EXPECT_TRUE(detail::is_subword_letter(0xAA));
  EXPECT_TRUE(detail::is_subword_letter(0x2EBF0)); // new in 15.1
  EXPECT_FALSE(detail::is_subword_letter(0x1C89)); // new in 16.0
  EXPECT_FALSE(detail::is_subword_letter(0x10FFFF));

  // The four classes are disjoint.
  for (std::uint32_t c = 0; c <= 0x10FFFF; ++c) {
    const int classes = detail::is_subword_whitespace(c) + detail::is_subword_letter(c) +
                        detail::is_subword_mark(c) + detail::is_subword_number(c);
    ASSERT_LE(classes, 1) << std::hex << c;
  }

  EXPECT_TRUE(detail::is_wordpiece_control(0x897)); // assigned only after 15.1
  EXPECT_TRUE(detail::is_wordpiece_control(0xAD));
  EXPECT_FALSE(detail::is_wordpiece_punctuation('$'));
  EXPECT_FALSE(detail::is_wordpiece_punctuation('+'));
  EXPECT_TRUE(detail::is_wordpiece_punctuation(','));
  EXPECT_TRUE(detail::is_wordpiece_punctuation(0x3001));
}

std::string decode_error(const std::string& text) {
  try {
    detail::decode_codepoint_spans(text);
  } catch (const SubwordError& error) {
    return error.what();
  }
  return "no error";
}

TEST(SubwordUtf8, DecodesSpansAndRefusesIllFormedInput) {
  const auto ascii = detail::decode_codepoint_spans("abc");
  ASSERT_EQ(ascii.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(ascii[i].begin, i);
    EXPECT_EQ(ascii[i].end, i + 1);
  }
  EXPECT_TRUE(detail::decode_codepoint_spans("").empty());

  const std::string mixed = "a" + u8(0xE9) + u8(0x20AC) + u8(0x1F600);
  const auto spans = detail::decode_codepoint_spans(mixed);
  ASSERT_EQ(spans.size(), 4u);
  const std::uint32_t codepoints[] = {0x61, 0xE9, 0x20AC, 0x1F600};
  const std::uint64_t ends[] = {1, 3, 6, 10};
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(spans[i].codepoint, codepoints[i]);
    EXPECT_EQ(spans[i].begin, i == 0 ? 0 : ends[i - 1]);
    EXPECT_EQ(spans[i].end, ends[i]);
  }

  const std::string prefix = "invalid UTF-8 sequence at byte offset ";
  EXPECT_EQ(decode_error("\x80"), prefix + "0");
  EXPECT_EQ(decode_error("xy\xE2\x96"), prefix + "2");
  EXPECT_EQ(decode_error("\xE2\x41\x81"), prefix + "1");
  EXPECT_EQ(decode_error("ab\xE2\x82\x28"), prefix + "4");
  EXPECT_EQ(decode_error(std::string("\xC0\x80", 2)), prefix + "0");
  EXPECT_EQ(decode_error("\xED\xA0\x80"), prefix + "0");
  EXPECT_EQ(decode_error("\xF4\x90\x80\x80"), prefix + "0");
  EXPECT_EQ(decode_error("\xF8\x88\x80\x80\x80"), prefix + "0");
  // A long ASCII run before the fault exercises the block scan.
  EXPECT_EQ(decode_error(std::string(37, 'a') + "\xFF"), prefix + "37");
}

} // namespace
} // namespace velmora
