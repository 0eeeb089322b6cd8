#pragma once

// This test binary replaces the global allocation functions, every form of
// them, with ones that count the bytes asked for while counting is on.

#include <cstdint>

namespace velmora::test {

// Starts counting from zero.
void start_counting_allocations();
// Stops counting and returns the bytes asked for since the start.
std::uint64_t stop_counting_allocations();

} // namespace velmora::test
