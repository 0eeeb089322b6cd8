#include "tokenize/char_units.hpp"

#include <string>
#include <utility>

#include <velmora/errors.hpp>
#include <velmora/text.hpp>

namespace velmora::detail::tokenize {

void throw_invalid_utf8(std::size_t byte_offset) {
  throw TokenizerModelError("invalid UTF-8 sequence at byte offset " + std::to_string(byte_offset));
}

std::vector<CharUnit> make_char_units(const char* data, std::size_t size) {
  std::vector<CharUnit> units;
  units.reserve(size);
  const std::size_t error = detail::walk_utf8(
      data, size, [&](std::uint32_t codepoint, std::size_t begin, std::size_t end) {
        units.push_back(CharUnit{std::string(data + begin, end - begin), codepoint,
                                 static_cast<std::uint32_t>(units.size())});
      });
  if (error != detail::utf8_valid) {
    throw_invalid_utf8(error);
  }
  return units;
}

bool is_tokenizer_space(std::uint32_t c) {
  return (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x20) || (c >= 0x80 && c <= 0xA0) ||
         c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
         c == 0x205F || c == 0x3000;
}

bool is_trailing_space(std::uint32_t c) {
  if (c >= 0x80 && c <= 0x9F) {
    return c == 0x85;
  }
  return is_tokenizer_space(c);
}

std::vector<Paragraph> split_paragraphs(const char* data, std::size_t size, bool skip_newline) {
  std::vector<CharUnit> units = make_char_units(data, size);
  const std::size_t n = units.size();

  std::vector<std::pair<std::size_t, std::size_t>> ranges;
  std::size_t start = 0;
  std::size_t scan = 0;
  while (scan < n) {
    std::size_t feed = scan;
    while (feed < n && units[feed].codepoint != 0x0A) {
      ++feed;
    }
    if (feed == n) {
      break;
    }
    bool met_feed = false;
    std::size_t last_feed = feed;
    for (std::size_t i = feed + 1; i < n && is_tokenizer_space(units[i].codepoint); ++i) {
      if (units[i].codepoint == 0x0A) {
        met_feed = true;
        last_feed = i;
      }
    }
    if (met_feed) {
      ranges.emplace_back(start, feed);
      start = last_feed + 1;
      scan = last_feed + 1;
    } else {
      scan = feed + 1;
    }
  }
  ranges.emplace_back(start, n);

  std::vector<Paragraph> paragraphs;
  for (auto [begin, end] : ranges) {
    while (end > begin && is_trailing_space(units[end - 1].codepoint)) {
      --end;
    }
    if (end == begin) {
      continue;
    }
    Paragraph paragraph;
    paragraph.reserve(end - begin);
    for (std::size_t i = begin; i < end; ++i) {
      CharUnit& unit = units[i];
      if (skip_newline && unit.codepoint == 0x0A) {
        continue;
      }
      if (is_tokenizer_space(unit.codepoint)) {
        if (paragraph.empty() || paragraph.back().codepoint != 0x20) {
          paragraph.push_back(CharUnit{" ", 0x20, unit.char_index});
        }
        continue;
      }
      paragraph.push_back(std::move(unit));
    }
    paragraphs.push_back(std::move(paragraph));
  }
  return paragraphs;
}

std::string join_units(const Paragraph& paragraph) {
  std::size_t size = 0;
  for (const CharUnit& unit : paragraph) {
    size += unit.text.size();
  }
  std::string joined;
  joined.reserve(size);
  for (const CharUnit& unit : paragraph) {
    joined += unit.text;
  }
  return joined;
}

} // namespace velmora::detail::tokenize
