#include "velmora/text.hpp"

#include <stdexcept>

namespace velmora::detail {
namespace {

// Walks one sequence starting at `i` and returns its code point; `length`
// receives its byte count. Refuses exactly what a strict decoder refuses:
// truncation, bad continuation bytes, overlong forms, surrogates and values
// above U+10FFFF.
std::uint32_t decode_one(const unsigned char* data, std::size_t size, std::size_t i,
                         std::size_t& length) {
  const unsigned char lead = data[i];
  std::uint32_t codepoint;
  std::uint32_t smallest;
  if (lead < 0x80) {
    length = 1;
    return lead;
  }
  if ((lead & 0xE0) == 0xC0) {
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
    const unsigned char next = data[i + k];
    if ((next & 0xC0) != 0x80) {
      throw_invalid_utf8(i + k);
    }
    codepoint = (codepoint << 6) | (next & 0x3F);
  }
  if (codepoint < smallest || (codepoint >= 0xD800 && codepoint <= 0xDFFF) ||
      codepoint > 0x10FFFF) {
    throw_invalid_utf8(i);
  }
  return codepoint;
}

} // namespace

void throw_invalid_utf8(std::size_t byte_offset) {
  throw std::invalid_argument("invalid UTF-8 sequence at byte offset " +
                              std::to_string(byte_offset));
}

std::vector<std::uint32_t> decode_utf8(const char* data, std::size_t size) {
  std::vector<std::uint32_t> codepoints;
  codepoints.reserve(size);
  const auto* bytes = reinterpret_cast<const unsigned char*>(data);
  std::size_t length = 0;
  for (std::size_t i = 0; i < size; i += length) {
    codepoints.push_back(decode_one(bytes, size, i, length));
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
  const auto* data = reinterpret_cast<const unsigned char*>(bytes_.data());
  const std::size_t size = bytes_.size();
  offsets_.reserve(size + 1);
  std::size_t length = 0;
  for (std::size_t i = 0; i < size; i += length) {
    offsets_.push_back(i);
    detail::decode_one(data, size, i, length);
  }
  offsets_.push_back(size);
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
