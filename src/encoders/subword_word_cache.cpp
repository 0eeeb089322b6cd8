#include "encoders/subword_word_cache.hpp"

#include <functional>
#include <mutex>

namespace velmora::detail {

WordCache::WordCache() : slots_(std::make_unique<WordCacheSlot[]>(slot_count)) {}

std::size_t WordCache::slot_index(std::string_view word) noexcept {
  return std::hash<std::string_view>{}(word) & (slot_count - 1);
}

bool WordCache::find(std::size_t slot, std::string_view word,
                     std::vector<std::int64_t>& out) const {
  std::shared_lock lock(mutex_);
  const WordCacheSlot& entry = slots_[slot];
  if (!entry.filled || entry.key != word) {
    return false;
  }
  out = entry.ids;
  return true;
}

void WordCache::store(std::size_t slot, std::string_view word,
                      const std::vector<std::int64_t>& ids) {
  // Copies are made before taking the lock so that an allocation failure
  // leaves the slot and the count as they were.
  std::string key(word);
  std::vector<std::int64_t> stored(ids);
  std::unique_lock lock(mutex_);
  WordCacheSlot& entry = slots_[slot];
  if (!entry.filled) {
    ++filled_count_;
    entry.filled = true;
  }
  entry.key = std::move(key);
  entry.ids = std::move(stored);
}

std::uint64_t WordCache::size() const {
  std::shared_lock lock(mutex_);
  return filled_count_;
}

} // namespace velmora::detail
