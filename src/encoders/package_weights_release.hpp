#pragma once

// The package runtime reads a model's weights file by mapping it whole and
// copying it into a buffer of its own, so while a package loads both copies
// are resident: for an encoder of a gigabyte and more, the peak of the whole
// process is twice its weights. While one of these guards lives, a thread
// releases the pages of that mapping the copy has read, so the mapping
// never holds more than a few milliseconds of the copy. Paging out a page
// of a read-only private file mapping loses nothing: the next read maps it
// again from the file; and paging out never discards a page that has no
// copy elsewhere, whatever the range holds by then.

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace velmora::detail {

class PackageWeightsRelease {
public:
  // Releases the mappings of the whole file open as `weights`, known by its
  // inode and size whatever name its mappings show. `mapped`, when given,
  // runs once on the releasing thread when the first mapping is seen; it
  // must not throw.
  explicit PackageWeightsRelease(int weights, std::function<void()> mapped = {});
  ~PackageWeightsRelease();
  PackageWeightsRelease(const PackageWeightsRelease&) = delete;
  PackageWeightsRelease& operator=(const PackageWeightsRelease&) = delete;

private:
  std::atomic<bool> done_{false};
  // Wakes the thread between two passes when the guard ends, so that the
  // load does not wait out a pause.
  std::mutex mutex_;
  std::condition_variable woken_;
  std::thread releaser_;
};

} // namespace velmora::detail
