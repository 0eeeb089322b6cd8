#include "document/released_memory.hpp"

#include <atomic>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace velmora::detail {
namespace {

std::atomic<std::uint64_t> released_words{0};

} // namespace

void release_cached_memory() {
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}

bool note_released_words(std::uint64_t words) {
  if (words == 0) {
    return false;
  }
  const std::uint64_t total = released_words.fetch_add(words, std::memory_order_relaxed) + words;
  // Only the caller that crosses the mark releases, and starts a new count.
  if (total >= kReleasedWords && total - words < kReleasedWords) {
    released_words.fetch_sub(total, std::memory_order_relaxed);
    release_cached_memory();
    return true;
  }
  return false;
}

} // namespace velmora::detail
