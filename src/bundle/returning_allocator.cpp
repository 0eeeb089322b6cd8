#include "bundle/returning_allocator.hpp"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <tuple>
#include <unordered_map>
#include <utility>

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <c10/core/Allocator.h>
#include <c10/core/CPUAllocator.h>
#include <c10/util/Exception.h>

namespace velmora::detail {
namespace {

std::size_t page_size() {
  static const std::size_t size = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  return size;
}

// The mappings handed out and not yet freed, by address, with their lengths
// (the raw interface frees by address alone, and must tell them from the
// smaller allocator's blocks), and the freed ones kept for reuse.
struct Mappings {
  struct Kept {
    void* data;
    std::uint64_t freed; // the order of freeing
  };
  std::mutex mutex;
  std::unordered_map<void*, std::size_t> lengths;
  std::multimap<std::size_t, Kept> kept; // by length
  std::size_t kept_bytes = 0;
  std::uint64_t frees = 0;
  std::atomic<std::size_t> live{0};
};

Mappings& mappings() {
  static auto* const all = new Mappings; // outlives every tensor freed at exit
  return *all;
}

c10::DeleterFnPtr small_raw_deleter = nullptr;

thread_local int returned_scopes = 0;

// Keeps the freed mapping for reuse, unmapping the longest-kept ones to stay
// within the bound. Under the lock.
bool keep(Mappings& all, void* data, std::size_t length) {
  if (length > kKeptMappingBytes) {
    return false;
  }
  while (all.kept_bytes + length > kKeptMappingBytes) {
    auto oldest = all.kept.begin();
    for (auto it = all.kept.begin(); it != all.kept.end(); ++it) {
      if (it->second.freed < oldest->second.freed) {
        oldest = it;
      }
    }
    munmap(oldest->second.data, oldest->first);
    all.kept_bytes -= oldest->first;
    all.kept.erase(oldest);
  }
  try {
    all.kept.emplace(length, Mappings::Kept{data, all.frees++});
  } catch (...) {
    return false;
  }
  all.kept_bytes += length;
  return true;
}

void release(void* data) {
  if (data == nullptr) {
    return;
  }
  Mappings& all = mappings();
  std::size_t length = 0;
  bool kept = false;
  {
    const std::lock_guard<std::mutex> lock(all.mutex);
    const auto found = all.lengths.find(data);
    if (found != all.lengths.end()) {
      length = found->second;
      all.lengths.erase(found);
      kept = keep(all, data, length);
    }
  }
  if (length == 0) {
    // A block of the smaller allocator, freed through the raw interface.
    small_raw_deleter(data);
    return;
  }
  all.live.fetch_sub(length, std::memory_order_relaxed);
  if (!kept) {
    munmap(data, length);
  }
}

// The shortest kept mapping of at least `length` bytes and at most half as
// long again, taken out of the kept ones with its length; null when none.
std::pair<void*, std::size_t> reuse(Mappings& all, std::size_t length) {
  const auto found = all.kept.lower_bound(length);
  if (found == all.kept.end() || found->first - length > length / 2) {
    return {nullptr, 0};
  }
  const std::pair<void*, std::size_t> mapping{found->second.data, found->first};
  all.kept.erase(found);
  all.kept_bytes -= mapping.second;
  return mapping;
}

// Lengths come in eight steps per doubling, so that a freed mapping serves
// the next tensor of about its size: windows and documents of different
// lengths rarely ask for the same size twice. Only the pages a tensor
// touches are ever made resident.
std::size_t mapping_length(std::size_t bytes) {
  const std::size_t page = page_size();
  std::size_t pages = (bytes + page - 1) / page;
  if (pages > 8) {
    const int top = 63 - __builtin_clzll(pages);
    const std::size_t step = std::size_t{1} << (top - 3);
    pages = (pages + step - 1) / step * step;
  }
  return pages * page;
}

void* map_pages(std::size_t length) {
  return mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
}

class ReturningAllocator final : public c10::Allocator {
public:
  explicit ReturningAllocator(c10::Allocator* small) : small_(small) {}

  c10::DataPtr allocate(std::size_t bytes) override {
    if (bytes < kReturnedTensorBytes || returned_scopes == 0) {
      return small_->allocate(bytes);
    }
    TORCH_CHECK_WITH(OutOfMemoryError, bytes <= SIZE_MAX / 2,
                     "can't allocate memory: you tried to allocate ", bytes, " bytes");
    std::size_t length = mapping_length(bytes);
    Mappings& all = mappings();
    void* data = nullptr;
    {
      const std::lock_guard<std::mutex> lock(all.mutex);
      std::tie(data, length) = reuse(all, length);
    }
    if (data == nullptr) {
      length = mapping_length(bytes);
      data = map_pages(length);
    }
    if (data == MAP_FAILED) {
      // What is kept for reuse may be what the system lacks.
      release_kept_mappings();
      data = map_pages(length);
    }
    TORCH_CHECK_WITH(OutOfMemoryError, data != MAP_FAILED,
                     "can't allocate memory: you tried to allocate ", bytes, " bytes (",
                     std::strerror(errno), ")");
    try {
      const std::lock_guard<std::mutex> lock(all.mutex);
      all.lengths.emplace(data, length);
    } catch (...) {
      munmap(data, length);
      throw;
    }
    all.live.fetch_add(length, std::memory_order_relaxed);
    return {data, data, &release, c10::Device(c10::DeviceType::CPU)};
  }

  c10::DeleterFnPtr raw_deleter() const override {
    return small_raw_deleter != nullptr ? &release : nullptr;
  }

  void copy_data(void* dest, const void* src, std::size_t count) const override {
    default_copy_data(dest, src, count);
  }

private:
  c10::Allocator* small_;
};

} // namespace

void use_returning_allocator() {
  static const bool installed = [] {
    // A child forked while another thread held the lock would find it held
    // for good: fork waits for it, as glibc's allocator does for its arenas.
    pthread_atfork([] { mappings().mutex.lock(); }, [] { mappings().mutex.unlock(); },
                   [] { mappings().mutex.unlock(); });
    c10::Allocator* current = c10::GetCPUAllocator();
    small_raw_deleter = current->raw_deleter();
    // Never destroyed: the tensor library may allocate during exit.
    auto* const allocator = new ReturningAllocator(current);
    // Above the tensor library's own registration, which has priority 0.
    c10::SetCPUAllocator(allocator, /*priority=*/1);
    return true;
  }();
  (void)installed;
}

ReturnedTensors::ReturnedTensors() {
  ++returned_scopes;
}

ReturnedTensors::~ReturnedTensors() {
  --returned_scopes;
}

void release_kept_mappings() {
  Mappings& all = mappings();
  std::multimap<std::size_t, Mappings::Kept> kept;
  {
    const std::lock_guard<std::mutex> lock(all.mutex);
    kept.swap(all.kept);
    all.kept_bytes = 0;
  }
  for (const auto& [length, mapping] : kept) {
    munmap(mapping.data, length);
  }
}

std::size_t returned_tensor_bytes_live() {
  return mappings().live.load(std::memory_order_relaxed);
}

} // namespace velmora::detail
