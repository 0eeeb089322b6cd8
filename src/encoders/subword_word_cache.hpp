#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::detail {

struct WordCacheSlot {
  std::string key;
  std::vector<std::int64_t> ids;
  bool filled = false;
};

// A direct-mapped, never-cleared map from a word to the subword ids its
// tokenizer computed. Hits run concurrently under a shared lock; the word
// itself is computed with no lock held, so a slow word never blocks others.
// Only words of at most `max_word_bytes` are kept: a slot holds its word and
// its ids, so long words would let text grow the cache without bound, and
// they rarely recur.
class WordCache {
public:
  static constexpr std::size_t slot_count = 8192;
  static constexpr std::size_t max_word_bytes = 100;

  WordCache();
  WordCache(const WordCache&) = delete;
  WordCache& operator=(const WordCache&) = delete;

  // The cached ids of `word`, or compute(word) stored and returned. An
  // exception of compute propagates and stores nothing.
  template <class Compute>
  std::vector<std::int64_t> lookup_or_compute(std::string_view word, Compute&& compute) {
    const std::size_t slot = slot_index(word);
    std::vector<std::int64_t> ids;
    if (word.size() <= max_word_bytes && find(slot, word, ids)) {
      return ids;
    }
    ids = compute(word);
    if (word.size() <= max_word_bytes) {
      store(slot, word, ids);
    }
    return ids;
  }

  // Number of slots filled at least once.
  std::uint64_t size() const;

  static std::size_t slot_index(std::string_view word) noexcept;

private:
  bool find(std::size_t slot, std::string_view word, std::vector<std::int64_t>& out) const;
  void store(std::size_t slot, std::string_view word, const std::vector<std::int64_t>& ids);

  std::unique_ptr<WordCacheSlot[]> slots_;
  mutable std::shared_mutex mutex_;
  std::uint64_t filled_count_ = 0;
};

} // namespace velmora::detail
