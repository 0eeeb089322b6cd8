#include "velmora/text.hpp"

#include <stdexcept>

namespace velmora::detail {

void throw_invalid_utf8(std::size_t byte_offset) {
  throw std::invalid_argument("invalid UTF-8 sequence at byte offset " +
                              std::to_string(byte_offset));
}

std::vector<std::uint32_t> decode_utf8(const char* data, std::size_t size) {
  std::vector<std::uint32_t> codepoints;
  codepoints.reserve(size);
  const std::size_t error =
      walk_utf8(data, size, [&](std::uint32_t codepoint, std::size_t, std::size_t) {
        codepoints.push_back(codepoint);
      });
  if (error != utf8_valid) {
    throw_invalid_utf8(error);
  }
  return codepoints;
}

void append_utf8(std::uint32_t codepoint, std::string& out) {
  if (codepoint <= 0x7F) {
    out.push_back(static_cast<char>(codepoint));
  } else if (codepoint <= 0x7FF) {
    out.push_back(static_cast<char>(0xC0 | (codepoint >> 6)));
    out.push_back(static_cast<char>(0x80 | (codepoint & 0x3F)));
  } else if (codepoint <= 0xFFFF) {
    out.push_back(static_cast<char>(0xE0 | (codepoint >> 12)));
    out.push_back(static_cast<char>(0x80 | ((codepoint >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (codepoint & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (codepoint >> 18)));
    out.push_back(static_cast<char>(0x80 | ((codepoint >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((codepoint >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (codepoint & 0x3F)));
  }
}

std::vector<std::string> split_codepoints(std::string_view word) {
  const Utf8Text text{std::string(word)};
  std::vector<std::string> pieces;
  pieces.reserve(text.codepoint_count());
  for (std::size_t i = 0; i < text.codepoint_count(); ++i) {
    pieces.push_back(text.slice(i, i + 1));
  }
  return pieces;
}

} // namespace velmora::detail

namespace velmora {

Utf8Text::Utf8Text(std::string text) : bytes_(std::move(text)) {
  offsets_.reserve(bytes_.size() + 1);
  const std::size_t error = detail::walk_utf8(
      bytes_.data(), bytes_.size(),
      [&](std::uint32_t, std::size_t begin, std::size_t) { offsets_.push_back(begin); });
  if (error != detail::utf8_valid) {
    detail::throw_invalid_utf8(error);
  }
  offsets_.push_back(bytes_.size());
}

std::uint64_t Utf8Text::byte_offset(std::size_t index) const {
  if (index >= offsets_.size()) {
    throw std::out_of_range("code point index is outside the document");
  }
  return offsets_[index];
}

std::string Utf8Text::slice(std::size_t start, std::size_t end) const {
  if (start > end || end >= offsets_.size()) {
    throw std::out_of_range("code point slice is outside the document");
  }
  return bytes_.substr(offsets_[start], offsets_[end] - offsets_[start]);
}

} // namespace velmora
