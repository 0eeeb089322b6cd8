#pragma once

// The files of a compiled model package, a zip archive whose members are
// stored uncompressed.

#include <cstdint>
#include <string>
#include <vector>

namespace velmora::detail {

// One member of a package: its name inside the archive and where its bytes
// lie in the archive file.
struct PackageEntry {
  std::string name;
  std::uint64_t offset = 0;
  std::uint64_t size = 0;
};

// Bytes of the archive file as the reader read them, at their offset: what
// the members' list was made from.
struct ArchiveRead {
  std::uint64_t offset = 0;
  std::vector<unsigned char> bytes;
};

// The members of the archive open as `fd`, `size` bytes long, in directory
// order; directory members are left out. Reads only the directory and the
// members' headers. Every name is a relative path of plain elements (no
// "." or "..", no empty element, no NUL or backslash), so that unpacking
// stays inside the target directory. Throws TransformerError naming the
// defect: a damaged directory, a compressed or encrypted member, a member
// outside the file, members that claim more bytes than the file holds, or
// members that overlap.
// With `reads`, every read of the file is added to it.
std::vector<PackageEntry> read_package_entries(int fd, std::uint64_t size,
                                               std::vector<ArchiveRead>* reads = nullptr);

} // namespace velmora::detail
