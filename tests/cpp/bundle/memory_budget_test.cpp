// The refusal of requests larger than the machine's memory: sizes in the
// message, the boundary, sizes past 64 bits, and the figure tests set.

#include <gtest/gtest.h>

#include "bundle/memory_budget.hpp"

namespace velmora::detail {
namespace {

constexpr double kGigabyte = 1024.0 * 1024.0 * 1024.0;

struct PhysicalMemory {
  explicit PhysicalMemory(std::uint64_t bytes) { set_physical_memory_bytes(bytes); }
  ~PhysicalMemory() { set_physical_memory_bytes(0); }
};

TEST(MemoryBudget, RefusalsNameBothSizes) {
  const std::uint64_t machine = physical_memory_bytes();
  EXPECT_GE(machine, std::uint64_t{64} << 20);
  {
    const PhysicalMemory small(static_cast<std::uint64_t>(23.4 * kGigabyte));
    EXPECT_EQ(memory_refusal(20.0 * kGigabyte, "depparse sentence of 50000 words", "arc scores"),
              "");
    EXPECT_EQ(memory_refusal(30.0 * kGigabyte, "depparse sentence of 50000 words", "arc scores"),
              "depparse sentence of 50000 words needs 30.0 GB of arc scores, more than this "
              "machine's 23.4 GB of memory");
    // Exactly the machine's memory is not refused; sizes far past 64 bits are.
    EXPECT_EQ(memory_refusal(static_cast<double>(physical_memory_bytes()), "x", "y"), "");
    EXPECT_NE(memory_refusal(1e40, "x", "y"), "");
  }
  {
    const PhysicalMemory tiny(std::uint64_t{256} << 20);
    EXPECT_EQ(memory_refusal(300.3 * 1024 * 1024, "MorphSeg word of 9 characters", "buffers"),
              "MorphSeg word of 9 characters needs 300.3 MB of buffers, more than this machine's "
              "256.0 MB of memory");
    EXPECT_THROW(require_memory<std::runtime_error>(512.0 * 1024 * 1024, "x", "y"),
                 std::runtime_error);
    EXPECT_NO_THROW(require_memory<std::runtime_error>(1024.0, "x", "y"));
  }
  EXPECT_EQ(physical_memory_bytes(), machine);
}

TEST(MemoryBudget, SizesInMegabytesBelowAGigabyte) {
  EXPECT_EQ(format_memory_size(0), "0.0 MB");
  EXPECT_EQ(format_memory_size(1023.0 * 1024 * 1024), "1023.0 MB");
  EXPECT_EQ(format_memory_size(kGigabyte), "1.0 GB");
  EXPECT_EQ(format_memory_size(1.25e3 * kGigabyte), "1250.0 GB");
}

} // namespace
} // namespace velmora::detail
