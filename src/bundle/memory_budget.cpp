#include "bundle/memory_budget.hpp"

#include <atomic>
#include <cstdio>

#include <unistd.h>

namespace velmora::detail {
namespace {

std::atomic<std::uint64_t> g_physical_memory_override{0};

std::uint64_t machine_memory() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGE_SIZE);
  if (pages <= 0 || page_size <= 0) {
    // Unknown: nothing is refused for want of a figure.
    return UINT64_MAX;
  }
  return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size);
}

} // namespace

std::uint64_t physical_memory_bytes() {
  const std::uint64_t set = g_physical_memory_override.load(std::memory_order_relaxed);
  if (set != 0) {
    return set;
  }
  static const std::uint64_t machine = machine_memory();
  return machine;
}

void set_physical_memory_bytes(std::uint64_t bytes) {
  g_physical_memory_override.store(bytes, std::memory_order_relaxed);
}

std::string format_memory_size(double bytes) {
  constexpr double kMegabyte = 1024.0 * 1024.0;
  constexpr double kGigabyte = 1024.0 * kMegabyte;
  char text[64];
  if (bytes >= kGigabyte) {
    std::snprintf(text, sizeof(text), "%.1f GB", bytes / kGigabyte);
  } else {
    std::snprintf(text, sizeof(text), "%.1f MB", bytes / kMegabyte);
  }
  return text;
}

std::string memory_refusal(double bytes, std::string_view request, std::string_view purpose) {
  const auto available = static_cast<double>(physical_memory_bytes());
  if (!(bytes > available)) {
    return {};
  }
  std::string message(request);
  message += " needs ";
  message += format_memory_size(bytes);
  message += " of ";
  message += purpose;
  message += ", more than this machine's ";
  message += format_memory_size(available);
  message += " of memory";
  return message;
}

} // namespace velmora::detail
