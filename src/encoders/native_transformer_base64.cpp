// Decoding the base64 text in which transformer assets carry the XLM-R
// tokenizer's precompiled character map.

#include <array>
#include <cstdint>

#include "encoders/native_transformer.hpp"

namespace velmora::detail {
namespace {

// 0..63 for the RFC 4648 alphabet, -1 for every other byte.
constexpr std::array<std::int8_t, 256> make_alphabet() {
  std::array<std::int8_t, 256> values{};
  values.fill(-1);
  const char* letters = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (int i = 0; i < 64; ++i) {
    values[static_cast<unsigned char>(letters[i])] = static_cast<std::int8_t>(i);
  }
  return values;
}

constexpr std::array<std::int8_t, 256> kAlphabet = make_alphabet();

} // namespace

std::vector<unsigned char> decode_base64_charsmap(std::string_view text) {
  if (text.size() % 4 != 0) {
    throw TransformerError("invalid base64 tokenizer charsmap length");
  }
  std::vector<unsigned char> bytes;
  bytes.reserve(text.size() / 4 * 3);
  for (std::size_t group = 0; group < text.size(); group += 4) {
    std::uint32_t value = 0;
    int padding = 0;
    for (std::size_t j = 0; j < 4; ++j) {
      const char c = text[group + j];
      std::uint32_t digit = 0;
      if (c == '=') {
        // A group must carry at least one whole byte: two characters.
        if (j < 2) {
          throw TransformerError("invalid base64 tokenizer charsmap");
        }
        ++padding;
      } else {
        const std::int8_t decoded = kAlphabet[static_cast<unsigned char>(c)];
        if (decoded < 0 || padding != 0) {
          throw TransformerError("invalid base64 tokenizer charsmap");
        }
        digit = static_cast<std::uint32_t>(decoded);
      }
      value = (value << 6) | digit;
    }
    bytes.push_back(static_cast<unsigned char>(value >> 16));
    if (padding < 2) {
      bytes.push_back(static_cast<unsigned char>(value >> 8));
    }
    if (padding < 1) {
      bytes.push_back(static_cast<unsigned char>(value));
    }
  }
  return bytes;
}

} // namespace velmora::detail
