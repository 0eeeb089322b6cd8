#include "encoders/package_weights_release.hpp"

#include <chrono>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velmora::detail {
namespace {

// Pages out every read-only private mapping of the whole file with this
// inode and size. A line of /proc/self/maps reads "start-end perms offset
// major:minor inode path"; the path of a file without a name ends in
// " (deleted)", so the file is known by its numbers. Not by its device:
// where the file system stacks on another (overlayfs) or has subvolumes
// (btrfs), the device a mapping shows is not the one fstat gives.
//
// The runtime may unmap the file between the read of a line and the call,
// and the range may then hold a new mapping of someone else's. So the pages
// are paged out, never discarded: a clean file page is dropped and read
// again when touched, while an anonymous or written page is kept (or goes
// to swap) and never loses its contents. Returns whether there was one.
bool release_weights_mappings(std::uint64_t inode, std::uint64_t length) {
  bool seen = false;
  // A process running the tensor library maps a few thousand ranges: only
  // lines that hold the inode's digits are parsed.
  const std::string digits = " " + std::to_string(inode) + " ";
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line)) {
    if (line.find(digits) == std::string::npos) {
      continue;
    }
    std::istringstream fields(line);
    std::uintptr_t start = 0;
    std::uintptr_t end = 0;
    char dash = 0;
    std::string perms;
    std::uint64_t offset = 0;
    std::string device;
    std::uint64_t inode_seen = 0;
    if (!(fields >> std::hex >> start >> dash >> end >> perms >> offset >> device >> std::dec >>
          inode_seen) ||
        dash != '-' || end <= start || perms != "r--p" || offset != 0 || inode_seen != inode ||
        end - start != length) {
      continue;
    }
    // Failure (a kernel before 5.4) only leaves the pages resident,
    // as they would be without this.
    ::madvise(reinterpret_cast<void*>(start), end - start, MADV_PAGEOUT);
    seen = true;
  }
  return seen;
}

} // namespace

PackageWeightsRelease::PackageWeightsRelease(int weights, std::function<void()> mapped) {
  struct stat file {};
  const long page = ::sysconf(_SC_PAGESIZE);
  if (::fstat(weights, &file) != 0 || file.st_ino == 0 || file.st_size <= 0 || page <= 0) {
    return; // without a file's numbers, those of anonymous memory would be taken
  }
  // The length of a mapping of the whole file: whole pages.
  const auto pages = static_cast<std::uint64_t>(page);
  const std::uint64_t length =
      (static_cast<std::uint64_t>(file.st_size) + pages - 1) / pages * pages;
  try {
    releaser_ = std::thread(
        [this, inode = std::uint64_t{file.st_ino}, length, mapped = std::move(mapped)]() mutable {
          try {
            while (!done_.load(std::memory_order_acquire)) {
              if (release_weights_mappings(inode, length) && mapped) {
                mapped();
                mapped = nullptr;
              }
              std::unique_lock<std::mutex> lock(mutex_);
              woken_.wait_for(lock, std::chrono::milliseconds(2),
                              [this] { return done_.load(std::memory_order_acquire); });
            }
          } catch (...) {
            // Reading the map failed (out of memory): the load goes on without.
          }
        });
  } catch (const std::system_error&) {
    // Without a thread the package loads as it would anyway.
  }
}

PackageWeightsRelease::~PackageWeightsRelease() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    done_.store(true, std::memory_order_release);
  }
  woken_.notify_all();
  if (releaser_.joinable()) {
    releaser_.join();
  }
}

} // namespace velmora::detail
