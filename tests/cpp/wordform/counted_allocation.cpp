// The replaced allocation functions of this test binary. All of them go to
// malloc and free: a form left out would pair the runtime's own operator new
// with this free(), which the address sanitizer reports as a mismatch (the
// nothrow form, for one, is what std::stable_sort's buffer comes from).

#include "counted_allocation.hpp"

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace {

std::atomic<bool> counting{false};
std::atomic<std::uint64_t> requested{0};

void* allocate(std::size_t size, std::size_t alignment) noexcept {
  if (counting.load(std::memory_order_relaxed)) {
    requested.fetch_add(size, std::memory_order_relaxed);
  }
  if (size == 0) {
    size = 1;
  }
  if (alignment <= alignof(std::max_align_t)) {
    return std::malloc(size);
  }
  void* block = nullptr;
  return posix_memalign(&block, alignment, size) == 0 ? block : nullptr;
}

void* allocate_or_throw(std::size_t size, std::size_t alignment) {
  if (void* block = allocate(size, alignment)) {
    return block;
  }
  throw std::bad_alloc();
}

std::size_t value(std::align_val_t alignment) {
  return static_cast<std::size_t>(alignment);
}

} // namespace

namespace velmora::test {

void start_counting_allocations() {
  requested = 0;
  counting = true;
}

std::uint64_t stop_counting_allocations() {
  counting = false;
  return requested;
}

} // namespace velmora::test

void* operator new(std::size_t size) {
  return allocate_or_throw(size, 0);
}
void* operator new[](std::size_t size) {
  return allocate_or_throw(size, 0);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return allocate(size, 0);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return allocate(size, 0);
}
void* operator new(std::size_t size, std::align_val_t alignment) {
  return allocate_or_throw(size, value(alignment));
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
  return allocate_or_throw(size, value(alignment));
}
void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return allocate(size, value(alignment));
}
void* operator new[](std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return allocate(size, value(alignment));
}

// Not inlined, so that the compiler does not pair a free() with the new
// expressions of other code.
[[gnu::noinline]] void operator delete(void* block) noexcept {
  std::free(block);
}
[[gnu::noinline]] void operator delete[](void* block) noexcept {
  std::free(block);
}
[[gnu::noinline]] void operator delete(void* block, std::size_t) noexcept {
  std::free(block);
}
[[gnu::noinline]] void operator delete[](void* block, std::size_t) noexcept {
  std::free(block);
}
[[gnu::noinline]] void operator delete(void* block, const std::nothrow_t&) noexcept {
  std::free(block);
}
[[gnu::noinline]] void operator delete[](void* block, const std::nothrow_t&) noexcept {
  std::free(block);
}
[[gnu::noinline]] void operator delete(void* block, std::align_val_t) noexcept {
  std::free(block);
}
[[gnu::noinline]] void operator delete[](void* block, std::align_val_t) noexcept {
  std::free(block);
}
[[gnu::noinline]] void operator delete(void* block, std::size_t, std::align_val_t) noexcept {
  std::free(block);
}
[[gnu::noinline]] void operator delete[](void* block, std::size_t, std::align_val_t) noexcept {
  std::free(block);
}
[[gnu::noinline]] void operator delete(void* block, std::align_val_t,
                                       const std::nothrow_t&) noexcept {
  std::free(block);
}
[[gnu::noinline]] void operator delete[](void* block, std::align_val_t,
                                         const std::nothrow_t&) noexcept {
  std::free(block);
}
