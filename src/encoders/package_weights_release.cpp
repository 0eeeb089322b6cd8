#include "encoders/package_weights_release.hpp"

#include <chrono>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <system_error>

#include <sys/mman.h>

namespace velmora::detail {
namespace {

// The name the package runtime gives the file of a package's weights.
constexpr std::string_view kWeightsSuffix = "_weights.blob";

// Pages out every read-only private mapping of a weights file. A line of
// /proc/self/maps reads "start-end perms offset device inode path".
//
// The runtime may unmap the file between the read of a line and the call,
// and the range may then hold a new mapping of someone else's. So the pages
// are paged out, never discarded: a clean file page is dropped and read
// again when touched, while an anonymous or written page is kept (or goes
// to swap) and never loses its contents.
void release_weights_mappings() {
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line)) {
    if (line.size() < kWeightsSuffix.size() ||
        line.compare(line.size() - kWeightsSuffix.size(), kWeightsSuffix.size(), kWeightsSuffix) !=
            0) {
      continue;
    }
    std::istringstream fields(line);
    std::uintptr_t start = 0;
    std::uintptr_t end = 0;
    char dash = 0;
    std::string perms;
    if (!(fields >> std::hex >> start >> dash >> end >> perms) || dash != '-' || end <= start ||
        perms != "r--p") {
      continue;
    }
    // Failure (a kernel before 5.4) only leaves the pages resident,
    // as they would be without this.
    ::madvise(reinterpret_cast<void*>(start), end - start, MADV_PAGEOUT);
  }
}

} // namespace

PackageWeightsRelease::PackageWeightsRelease() {
  try {
    releaser_ = std::thread([this] {
      try {
        while (!done_.load(std::memory_order_acquire)) {
          release_weights_mappings();
          std::this_thread::sleep_for(std::chrono::milliseconds(2));
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
  done_.store(true, std::memory_order_release);
  if (releaser_.joinable()) {
    releaser_.join();
  }
}

} // namespace velmora::detail
