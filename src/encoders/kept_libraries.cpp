#include "encoders/kept_libraries.hpp"

#include <mutex>
#include <string>
#include <unordered_map>

#include <fcntl.h>
#include <unistd.h>

namespace velmora::detail {
namespace {

// Loads may run on several threads at once; the table is touched only
// briefly, before and after a load, never while one runs.
std::mutex& table_lock() {
  static std::mutex lock;
  return lock;
}

// Never destroyed: the descriptors live as long as the mappings they stand for.
std::unordered_map<std::string, int>& table() {
  static auto* kept = new std::unordered_map<std::string, int>();
  return *kept;
}

} // namespace

int kept_library(const std::string& digest) {
  const std::lock_guard<std::mutex> guard(table_lock());
  const auto found = table().find(digest);
  return found == table().end() ? -1 : found->second;
}

void keep_library(const std::string& digest, int fd) {
  const std::lock_guard<std::mutex> guard(table_lock());
  if (table().count(digest) != 0) {
    return;
  }
  // Read-only, whatever `fd` may do.
  const int kept = ::open(("/proc/self/fd/" + std::to_string(fd)).c_str(), O_RDONLY | O_CLOEXEC);
  if (kept < 0) {
    return;
  }
  try {
    table().emplace(digest, kept);
  } catch (...) {
    ::close(kept);
    throw;
  }
}

} // namespace velmora::detail
