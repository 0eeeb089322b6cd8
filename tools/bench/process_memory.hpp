#pragma once

// Resident memory of the running process, as the benchmarks report it:
// VmRSS, RssAnon and RssFile of /proc/self/status, and its peak, in KiB.

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

namespace velmora::bench {

inline std::map<std::string, long> memory_kib() {
  std::ifstream status("/proc/self/status");
  std::map<std::string, long> values;
  std::string line;
  while (std::getline(status, line)) {
    for (const char* key : {"VmRSS", "RssAnon", "RssFile"}) {
      const std::string prefix = std::string(key) + ":";
      if (line.rfind(prefix, 0) == 0) {
        values[key] = std::strtol(line.c_str() + prefix.size(), nullptr, 10);
      }
    }
  }
  return values;
}

// " <when>_VmRSS=... <when>_RssAnon=... <when>_RssFile=...".
inline std::string memory_fields(const std::string& when) {
  std::ostringstream out;
  for (const auto& [key, value] : memory_kib()) {
    out << " " << when << "_" << key << "=" << value;
  }
  return out.str();
}

// The peak resident memory since the process started or since the last
// reset_peak(), in KiB (VmHWM).
inline long peak_kib() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) {
      return std::strtol(line.c_str() + 6, nullptr, 10);
    }
  }
  return 0;
}

// Starts a new peak from the present resident memory.
inline void reset_peak() {
  std::ofstream("/proc/self/clear_refs") << "5";
}

} // namespace velmora::bench
