#include "tokenize/char_units.hpp"

#include <string>
#include <utility>

#include <velmora/errors.hpp>

namespace velmora::detail::tokenize {

void throw_invalid_utf8(std::size_t byte_offset) {
  throw TokenizerModelError("invalid UTF-8 sequence at byte offset " + std::to_string(byte_offset));
}

std::vector<CharUnit> make_char_units(const char* data, std::size_t size) {
  std::vector<CharUnit> units;
  units.reserve(size);
  const auto* bytes = reinterpret_cast<const unsigned char*>(data);
  std::size_t i = 0;
  while (i < size) {
    const unsigned char lead = bytes[i];
    std::size_t length = 0;
    std::uint32_t codepoint = 0;
    std::uint32_t smallest = 0;
    if (lead < 0x80) {
      length = 1;
      codepoint = lead;
    } else if ((lead & 0xE0) == 0xC0) {
      length = 2;
      codepoint = lead & 0x1F;
      smallest = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3;
      codepoint = lead & 0x0F;
      smallest = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4;
      codepoint = lead & 0x07;
      smallest = 0x10000;
    } else {
      throw_invalid_utf8(i);
    }
    if (length > size - i) {
      throw_invalid_utf8(i);
    }
    for (std::size_t k = 1; k < length; ++k) {
      const unsigned char next = bytes[i + k];
      if ((next & 0xC0) != 0x80) {
        throw_invalid_utf8(i + k);
      }
      codepoint = (codepoint << 6) | (next & 0x3F);
    }
    if (codepoint < smallest || (codepoint >= 0xD800 && codepoint <= 0xDFFF) ||
        codepoint > 0x10FFFF) {
      throw_invalid_utf8(i);
    }
    units.push_back(CharUnit{std::string(data + i, length), codepoint,
                             static_cast<std::uint32_t>(units.size())});
    i += length;
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
