#pragma once

// Memory the allocator keeps after large frees. glibc keeps freed chunks
// resident for reuse; after a corpus of documents or a bulk call's working
// memory is freed, that can be gigabytes the process never uses again.

#include <cstdint>

namespace velmora::detail {

// Hands the memory the allocator keeps from freed buffers back to the
// system, in every arena.
void release_cached_memory();

// Counts the words of a document whose storage was destroyed; once the
// documents destroyed since the last release held kReleasedWords words, the
// allocator's freed memory goes back to the system. Dropping the output of
// a large call thus returns its memory, while dropping small documents
// costs only a count. True when it released.
bool note_released_words(std::uint64_t words);

inline constexpr std::uint64_t kReleasedWords = 16384;

} // namespace velmora::detail
