#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <velmora/errors.hpp>

#include "tokenize/char_units.hpp"

namespace velmora::detail::tokenize {
namespace {

std::vector<Paragraph> split(const std::string& text, bool skip_newline = false) {
  return split_paragraphs(text.data(), text.size(), skip_newline);
}

// Each paragraph as its unit texts joined, units separated by '|'.
std::vector<std::string> shapes(const std::vector<Paragraph>& paragraphs) {
  std::vector<std::string> out;
  for (const Paragraph& paragraph : paragraphs) {
    std::string shape;
    for (const CharUnit& unit : paragraph) {
      shape += (shape.empty() ? "" : "|") + unit.text;
    }
    out.push_back(shape);
  }
  return out;
}

std::string message_of(const std::string& bytes) {
  try {
    make_char_units(bytes.data(), bytes.size());
  } catch (const TokenizerModelError& error) {
    return error.what();
  }
  return "accepted";
}

TEST(CharUnits, CarryBytesCodePointsAndIndexes) {
  const std::string text = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
  const auto units = make_char_units(text.data(), text.size());
  ASSERT_EQ(units.size(), 4u);
  EXPECT_EQ(units[1].text, "\xC3\xA9");
  EXPECT_EQ(units[2].codepoint, 0x20ACu);
  EXPECT_EQ(units[3].codepoint, 0x1F600u);
  EXPECT_EQ(units[3].char_index, 3u);
  EXPECT_EQ(std::string(1, '\0'), make_char_units("\0", 1).at(0).text);
}

TEST(CharUnits, InvalidUtf8IsATokenizerError) {
  EXPECT_EQ(message_of("\x80"), "invalid UTF-8 sequence at byte offset 0");
  EXPECT_EQ(message_of("a\xE2\x82"), "invalid UTF-8 sequence at byte offset 1");
  EXPECT_EQ(message_of("\xE2\x28\xA1"), "invalid UTF-8 sequence at byte offset 1");
  EXPECT_EQ(message_of("\xE2\x82\x28"), "invalid UTF-8 sequence at byte offset 2");
  EXPECT_EQ(message_of("\xC0\xAF"), "invalid UTF-8 sequence at byte offset 0");
  EXPECT_EQ(message_of("ab\xED\xA0\x80"), "invalid UTF-8 sequence at byte offset 2");
  EXPECT_EQ(message_of("\xF4\x90\x80\x80"), "invalid UTF-8 sequence at byte offset 0");
  EXPECT_EQ(message_of("\xF8\x88\x80\x80\x80"), "invalid UTF-8 sequence at byte offset 0");
  EXPECT_EQ(message_of("\xF4\x8F\xBF\xBF"), "accepted");
}

TEST(Paragraphs, BlankLinesSeparateParagraphs) {
  EXPECT_TRUE(split("").empty());
  EXPECT_TRUE(split(" \n \n\t\n  ").empty());
  EXPECT_EQ(shapes(split("a\n\nb")), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(shapes(split("a\nb")), (std::vector<std::string>{"a| |b"}));
  EXPECT_EQ(shapes(split("a\nb", true)), (std::vector<std::string>{"a|b"}));
  EXPECT_EQ(shapes(split("a\r\n\r\nb")), (std::vector<std::string>{"a", "b"}));
  // Only U+000A breaks paragraphs; other line separators are plain spaces.
  EXPECT_EQ(shapes(split("a\u2029b")), (std::vector<std::string>{"a| |b"}));
  EXPECT_EQ(shapes(split("a\u2028\u2028b")), (std::vector<std::string>{"a| |b"}));
  EXPECT_EQ(shapes(split("a\n\n\n\nb\n \nc")), (std::vector<std::string>{"a", "b", "c"}));
}

TEST(Paragraphs, WhitespaceAfterTheBreakStartsTheNextParagraph) {
  const auto paragraphs = split("a \n \n  b");
  ASSERT_EQ(shapes(paragraphs), (std::vector<std::string>{"a", " |b"}));
  EXPECT_EQ(paragraphs[1][0].char_index, 5u);
  EXPECT_EQ(paragraphs[1][1].char_index, 7u);

  EXPECT_EQ(shapes(split("  x")), (std::vector<std::string>{" |x"}));
}

TEST(Paragraphs, RunsOfWhitespaceBecomeOneSpaceAtTheirFirstCharacter) {
  const auto paragraphs = split("x\t\t y");
  ASSERT_EQ(shapes(paragraphs), (std::vector<std::string>{"x| |y"}));
  EXPECT_EQ(paragraphs[0][1].codepoint, 0x20u);
  EXPECT_EQ(paragraphs[0][1].char_index, 1u);
  EXPECT_EQ(paragraphs[0][2].char_index, 4u);

  // NBSP, ideographic space and NEL are whitespace; NEL is also trimmed.
  EXPECT_EQ(shapes(split("a\u00A0\u3000b\u0085")), (std::vector<std::string>{"a| |b"}));
  EXPECT_EQ(shapes(split("a\u200Bb")), (std::vector<std::string>{"a|\u200B|b"}));
}

TEST(Paragraphs, TrimKeepsC1ControlsOtherThanNel) {
  EXPECT_EQ(shapes(split("a\u0090")), (std::vector<std::string>{"a| "}));
  const auto alone = split("\u0090");
  ASSERT_EQ(shapes(alone), (std::vector<std::string>{" "}));
  EXPECT_EQ(alone[0][0].codepoint, 0x20u);
}

TEST(Paragraphs, NewlinesAreDroppedNotReplacedWhenSkipped) {
  // The dropped line feed leaves the spaces on either side adjacent, and
  // they still collapse only with the unit appended before them.
  EXPECT_EQ(shapes(split("a \n b", true)), (std::vector<std::string>{"a| |b"}));
  EXPECT_EQ(shapes(split("a\n\tb", true)), (std::vector<std::string>{"a| |b"}));
}

TEST(Paragraphs, InvalidUtf8FailsTheSplit) {
  const std::string text = "ok\n\xFF";
  EXPECT_THROW(split_paragraphs(text.data(), text.size(), false), TokenizerModelError);
}

} // namespace
} // namespace velmora::detail::tokenize
