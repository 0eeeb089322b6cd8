#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace velmora::python {

// Row kinds, so that views of different kinds on one row hash apart.
enum class RowKind : std::uint64_t { kDocument, kSentence, kToken, kWord, kSpan, kNode };

// A hash that agrees with the identity comparison of views and tree nodes:
// built from the address they share and, for a view, its kind and row.
inline std::size_t identity_hash(const void* address, RowKind kind, std::uint64_t row = 0) {
  std::size_t hash = std::hash<const void*>{}(address);
  for (const std::uint64_t part : {static_cast<std::uint64_t>(kind), row}) {
    hash ^= std::hash<std::uint64_t>{}(part) + 0x9E3779B97F4A7C15ull + (hash << 6) + (hash >> 2);
  }
  return hash;
}

} // namespace velmora::python
