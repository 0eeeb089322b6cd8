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

std::vector<std::uint32_t> decode_utf8(const char* data, std::size_t size);
void append_utf8(std::uint32_t codepoint, std::string& out);
[[noreturn]] void throw_invalid_utf8(std::size_t byte_offset);

// One string per code point, in order.
std::vector<std::string> split_codepoints(std::string_view word);

} // namespace detail
} // namespace velmora
