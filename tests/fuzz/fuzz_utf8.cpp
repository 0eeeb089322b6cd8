// The UTF-8 layer over any bytes: validation, the offset table and slices,
// case mapping, normalisation and code-point splitting agree on what is
// well-formed and never read outside the text.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include <velmora/text.hpp>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const bool well_formed =
      velmora::detail::walk_utf8(bytes.data(), bytes.size(), [](auto, auto, auto) {}) ==
      velmora::detail::utf8_valid;
  try {
    const velmora::Utf8Text text(bytes);
    if (!well_formed) {
      std::abort(); // accepted what the walk refuses
    }
    const std::size_t count = text.codepoint_count();
    if (text.byte_offset(count) != bytes.size()) {
      std::abort();
    }
    std::string joined;
    for (std::size_t i = 0; i < count; ++i) {
      joined += text.slice(i, i + 1);
    }
    if (joined != bytes || velmora::detail::split_codepoints(bytes).size() != count) {
      std::abort();
    }
    if (count > 0) {
      (void)text.slice(count / 3, count - count / 3);
    }
    (void)velmora::detail::unicode_lower(bytes);
    (void)velmora::detail::unicode_upper(bytes);
    (void)velmora::detail::unicode_is_lower(bytes);
    (void)velmora::detail::unicode_is_upper(bytes);
    (void)velmora::detail::unicode_nfkc_casefold_nfc(bytes);
  } catch (const std::invalid_argument&) {
    if (well_formed) {
      std::abort(); // refused what the walk accepts
    }
  }
  return 0;
}
