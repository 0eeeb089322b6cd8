// The archive reader and the package judge over a package file that is the
// input: every package is judged or refused with TransformerError, and the
// judge reads the members in place, as the loader reads their copies.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

#include <velmora/errors.hpp>

#include "encoders/package_archive.hpp"
#include "encoders/package_judge.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const int fd = ::memfd_create("package", MFD_CLOEXEC);
  if (fd < 0 || ::ftruncate(fd, 0) != 0 ||
      ::pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) {
    std::abort();
  }
  using namespace velmora::detail;
  try {
    const std::vector<PackageEntry> entries = read_package_entries(fd, size);
    std::vector<std::string> names;
    for (const PackageEntry& entry : entries) {
      names.push_back(entry.name);
    }
    const PrebuiltMembers members = judge_package_members(names);
    const auto range = [&](std::size_t i) {
      return FileRange{fd, entries[i].offset, entries[i].size};
    };
    judge_prebuilt_package(names, members, range(members.library), range(members.metadata),
                           range(members.weights));
  } catch (const velmora::TransformerError&) {
  }
  return 0;
}
