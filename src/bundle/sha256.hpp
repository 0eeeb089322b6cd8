#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace velmora::detail {

// Streaming SHA-256 (FIPS 180-4).
class Sha256 {
public:
  // The CPU's SHA instructions are used when present unless
  // `use_cpu_extensions` is false (tests compare both paths).
  explicit Sha256(bool use_cpu_extensions = true);
  static bool cpu_extensions_available();

  void update(const std::byte* data, std::size_t size);
  // The digest of everything passed to update; the object is spent afterwards.
  std::array<std::uint8_t, 32> finish();
  // finish() as 64 lower-case hex digits.
  std::string finish_hex();

private:
  void (*compress_)(std::uint32_t* state, const std::uint8_t* blocks, std::size_t count);
  std::array<std::uint32_t, 8> state_;
  std::array<std::uint8_t, 64> buffer_{};
  std::size_t buffered_ = 0;
  std::uint64_t total_bytes_ = 0;
};

// The SHA-256 digest of [data, data + size) as 64 lower-case hex digits. An
// empty range (data may then be null) is allowed.
std::string sha256_hex(const std::byte* data, std::size_t size);

} // namespace velmora::detail
