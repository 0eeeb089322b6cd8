// Large tensors mapped for themselves and handed back to the system when freed.

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <ATen/ops/empty.h>
#include <ATen/ops/ones.h>
#include <c10/core/CPUAllocator.h>

#include "bundle/returning_allocator.hpp"
#include "bundle/tensor_errors.hpp"
#include "test_support.hpp"

namespace {

using velmora::detail::kReturnedTensorBytes;
using velmora::detail::returned_tensor_bytes_live;

std::int64_t floats(std::size_t bytes) {
  return static_cast<std::int64_t>(bytes / sizeof(float));
}

TEST(ReturningAllocator, LargeTensorsAreMappedAndUnmappedSmallOnesAreNot) {
  velmora::detail::use_returning_allocator();
  velmora::detail::use_returning_allocator();
  const std::size_t before = returned_tensor_bytes_live();
  {
    // Outside a scope, large tensors keep the tensor library's allocator.
    const at::Tensor outside = at::ones({floats(2 * kReturnedTensorBytes)});
    EXPECT_EQ(returned_tensor_bytes_live(), before);
  }
  const velmora::detail::ReturnedTensors returned;
  {
    const at::Tensor small = at::ones({floats(kReturnedTensorBytes) - 1});
    EXPECT_EQ(returned_tensor_bytes_live(), before);
    at::Tensor large = at::ones({floats(kReturnedTensorBytes) + 3});
    // Eight lengths per doubling: 257 pages take 288.
    EXPECT_EQ(returned_tensor_bytes_live(), before + 288 * 4096);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(large.data_ptr()) % 4096, 0U);
    EXPECT_EQ(large.sum().item<float>(), static_cast<float>(large.numel()));
    const at::Tensor copy = large.clone();
    EXPECT_EQ(returned_tensor_bytes_live(), before + 2 * 288 * 4096);
    large.reset();
    EXPECT_EQ(copy.sum().item<float>(), static_cast<float>(copy.numel()));
  }
  EXPECT_EQ(returned_tensor_bytes_live(), before);

  // The raw interface frees blocks of either kind by address alone.
  c10::Allocator* allocator = c10::GetCPUAllocator();
  ASSERT_NE(allocator->raw_deleter(), nullptr);
  void* large = allocator->raw_allocate(3 * kReturnedTensorBytes);
  void* small = allocator->raw_allocate(64);
  EXPECT_EQ(returned_tensor_bytes_live(), before + 3 * kReturnedTensorBytes);
  allocator->raw_deallocate(small);
  allocator->raw_deallocate(large);
  EXPECT_EQ(returned_tensor_bytes_live(), before);
}

TEST(ReturningAllocator, ARefusedMappingIsAnAllocationFailureThatNamesTheSize) {
  velmora::detail::use_returning_allocator();
  const velmora::detail::ReturnedTensors returned;
  const std::size_t before = returned_tensor_bytes_live();
  try {
    const at::Tensor huge = at::empty({std::int64_t{1} << 50});
    FAIL() << "a tensor of 4 PiB was allocated";
  } catch (const std::exception& error) {
    try {
      velmora::detail::rethrow_allocation_failure(error);
      FAIL() << "not an allocation failure: " << error.what();
    } catch (const velmora::detail::AllocationFailure& failure) {
      EXPECT_NE(std::string(failure.what()).find("allocate 4503599627370496 bytes"),
                std::string::npos)
          << failure.what();
    }
  }
  EXPECT_EQ(returned_tensor_bytes_live(), before);
}

#if defined(__GLIBC__) && !defined(__SANITIZE_ADDRESS__)
// glibc would keep these blocks in the thread's arena: once a 2 MiB block has
// been freed it serves blocks of that size from the arena, and the small
// tensor allocated after them keeps the arena from shrinking. Freed mappings
// are kept up to their bound, until released.
TEST(ReturningAllocator, AThreadsFreedActivationsLeaveTheProcess) {
  velmora::detail::use_returning_allocator();
  const long start = velmora::test::resident_kib();
  at::Tensor pin;
  std::thread worker([&] {
    const velmora::detail::ReturnedTensors returned;
    at::ones({floats(2 * kReturnedTensorBytes)});
    std::vector<at::Tensor> blocks;
    for (std::size_t i = 0; i < 2 * velmora::detail::kKeptMappingBytes / (2 << 20); ++i) {
      blocks.push_back(at::ones({floats(2 * kReturnedTensorBytes)}));
    }
    pin = at::ones({16});
  });
  worker.join();
  const long kept_kib = static_cast<long>(velmora::detail::kKeptMappingBytes >> 10);
  EXPECT_LT(velmora::test::resident_kib() - start, kept_kib + (16 << 10))
      << "more than the bound stayed";
  velmora::detail::release_kept_mappings();
  EXPECT_LT(velmora::test::resident_kib() - start, 16 << 10) << "freed blocks stayed resident";
}
#endif

} // namespace
