#include "bundle/finite_values.hpp"

#include <cstdint>
#include <cstring>

namespace velmora::detail {
namespace {

// A floating value is not finite exactly when its exponent bits are all set,
// so every format is tested on its bits; offsets need not be aligned.
template <class Bits> bool any_exponent_full(const std::byte* data, std::size_t size, Bits mask) {
  bool found = false;
  for (std::size_t at = 0; at + sizeof(Bits) <= size; at += sizeof(Bits)) {
    Bits bits;
    std::memcpy(&bits, data + at, sizeof(Bits));
    found |= (bits & mask) == mask;
  }
  return found;
}

} // namespace

bool holds_non_finite(std::string_view dtype, const std::byte* data, std::size_t size) {
  if (dtype == "float32" || dtype == "complex64") {
    return any_exponent_full<std::uint32_t>(data, size, 0x7F800000u);
  }
  if (dtype == "float64" || dtype == "complex128") {
    return any_exponent_full<std::uint64_t>(data, size, 0x7FF0000000000000u);
  }
  if (dtype == "float16") {
    return any_exponent_full<std::uint16_t>(data, size, 0x7C00u);
  }
  if (dtype == "bfloat16") {
    return any_exponent_full<std::uint16_t>(data, size, 0x7F80u);
  }
  return false;
}

} // namespace velmora::detail
