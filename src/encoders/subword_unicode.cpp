#include "encoders/subword_unicode.hpp"

#include <algorithm>
#include <iterator>

#include "encoders/subword_unicode_tables.hpp"
#include "velmora/errors.hpp"

namespace velmora::detail {
namespace {

template <std::size_t N>
bool in_ranges(const CodepointRange (&ranges)[N], std::uint32_t codepoint) noexcept {
  // The last range whose low end is at most the code point.
  const auto* after = std::upper_bound(
      std::begin(ranges), std::end(ranges), codepoint,
      [](std::uint32_t value, const CodepointRange& range) { return value < range.low; });
  return after != std::begin(ranges) && codepoint <= std::prev(after)->high;
}

} // namespace

std::string invalid_utf8_message(std::size_t byte_offset) {
  return "invalid UTF-8 sequence at byte offset " + std::to_string(byte_offset);
}

std::vector<CodepointSpan> decode_codepoint_spans(const char* data, std::size_t size) {
  std::vector<CodepointSpan> spans;
  if (size == 0) {
    return spans;
  }
  spans.reserve(size);
  if (is_ascii(data, size)) {
    for (std::size_t i = 0; i < size; ++i) {
      spans.push_back({static_cast<std::uint32_t>(static_cast<unsigned char>(data[i])), i, i + 1});
    }
    return spans;
  }
  const std::size_t error =
      walk_utf8(data, size, [&](std::uint32_t codepoint, std::size_t begin, std::size_t end) {
        spans.push_back({codepoint, begin, end});
      });
  if (error != utf8_valid) {
    throw SubwordError(invalid_utf8_message(error));
  }
  return spans;
}

bool is_subword_whitespace(std::uint32_t codepoint) noexcept {
  return in_ranges(subword_whitespace_ranges, codepoint);
}

bool is_subword_letter(std::uint32_t codepoint) noexcept {
  return in_ranges(subword_letter_ranges, codepoint);
}

bool is_subword_mark(std::uint32_t codepoint) noexcept {
  return in_ranges(subword_mark_ranges, codepoint);
}

bool is_subword_number(std::uint32_t codepoint) noexcept {
  return in_ranges(subword_number_ranges, codepoint);
}

bool is_wordpiece_control(std::uint32_t codepoint) noexcept {
  return in_ranges(wordpiece_control_ranges, codepoint);
}

bool is_wordpiece_whitespace(std::uint32_t codepoint) noexcept {
  return in_ranges(wordpiece_whitespace_ranges, codepoint);
}

bool is_wordpiece_punctuation(std::uint32_t codepoint) noexcept {
  return in_ranges(wordpiece_punctuation_ranges, codepoint);
}

bool is_wordpiece_cjk(std::uint32_t codepoint) noexcept {
  return in_ranges(wordpiece_cjk_ranges, codepoint);
}

bool wordpiece_accent_replacement(std::uint32_t codepoint, const std::uint32_t*& out,
                                  std::size_t& out_length) noexcept {
  const auto* found = std::lower_bound(
      std::begin(accent_table), std::end(accent_table), codepoint,
      [](const AccentEntry& entry, std::uint32_t value) { return entry.codepoint < value; });
  if (found == std::end(accent_table) || found->codepoint != codepoint) {
    return false;
  }
  out = found->replacement;
  out_length = found->length;
  return true;
}

} // namespace velmora::detail
