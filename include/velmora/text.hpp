#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace velmora {

// Validated UTF-8 text with a table from code-point positions to byte offsets.
// Every character offset the library exposes counts code points, never bytes.
class Utf8Text {
public:
  // Throws std::invalid_argument "invalid UTF-8 sequence at byte offset N".
  explicit Utf8Text(std::string text);

  const std::string& bytes() const noexcept { return bytes_; }
  std::uint64_t codepoint_count() const noexcept { return offsets_.size() - 1; }

  // Byte offset at which code point `index` begins; `codepoint_count()` gives
  // the byte length.
  std::uint64_t byte_offset(std::size_t index) const;

  // The bytes of code points [start, end).
  std::string slice(std::size_t start, std::size_t end) const;

private:
  std::string bytes_;
  std::vector<std::uint64_t> offsets_;
};

namespace detail {

// Case mapping and case tests from the library's own Unicode 15.0 tables;
// independent of the locale. All of them refuse ill-formed UTF-8.
std::string unicode_lower(std::string_view text);
std::string unicode_upper(std::string_view text);
bool unicode_is_lower(std::string_view text);
bool unicode_is_upper(std::string_view text);

// NFC(default case fold(NFKC(text))) through ICU.
std::string unicode_nfkc_casefold_nfc(std::string_view text);

// Returned by walk_utf8 for well-formed text.
inline constexpr std::size_t utf8_valid = static_cast<std::size_t>(-1);

// Walks UTF-8 by the library's one acceptance rule set and calls
// emit(codepoint, begin, end) for each code point. Returns utf8_valid, or the
// byte offset to report for the first ill-formed sequence: that of a wrong
// continuation byte, else that of the sequence's lead byte. Each caller turns
// the offset into its own error class.
template <class Emit> std::size_t walk_utf8(const char* data, std::size_t size, Emit&& emit) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(data);
  std::size_t i = 0;
  while (i < size) {
    const unsigned lead = bytes[i];
    if (lead < 0x80) {
      emit(static_cast<std::uint32_t>(lead), i, i + 1);
      ++i;
      continue;
    }
    std::size_t length;
    std::uint32_t codepoint;
    std::uint32_t smallest;
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
      return i;
    }
    if (length > size - i) {
      return i;
    }
    for (std::size_t k = 1; k < length; ++k) {
      const unsigned next = bytes[i + k];
      if ((next & 0xC0) != 0x80) {
        return i + k;
      }
      codepoint = (codepoint << 6) | (next & 0x3F);
    }
    if (codepoint < smallest || codepoint > 0x10FFFF ||
        (codepoint >= 0xD800 && codepoint <= 0xDFFF)) {
      return i;
    }
    emit(codepoint, i, i + length);
    i += length;
  }
  return utf8_valid;
}

std::vector<std::uint32_t> decode_utf8(const char* data, std::size_t size);
void append_utf8(std::uint32_t codepoint, std::string& out);
[[noreturn]] void throw_invalid_utf8(std::size_t byte_offset);

// One string per code point, in order.
std::vector<std::string> split_codepoints(std::string_view word);

} // namespace detail
} // namespace velmora
