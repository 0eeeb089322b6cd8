#pragma once

#include <cstdint>

namespace velmora::detail {

// The position `count` steps of `step` from `start`. Positions are unsigned;
// a negative step moves them down. Unsigned arithmetic wraps exactly like the
// signed arithmetic it stands for, and never overflows: a position that a
// huge start or step takes past either end names no row, and the sequence
// refuses it.
inline std::uint64_t advance(std::uint64_t start, std::int64_t step, std::uint64_t count) {
  return start + static_cast<std::uint64_t>(step) * count;
}

} // namespace velmora::detail
