#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

namespace velmora::detail {

// One version of one file: a file replaced by another under its name has
// another device or inode, and one rewritten in place another size or
// modification time. (Not the status change time: that moves too when the
// file is merely renamed, linked or unlinked.)
struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::uint64_t size = 0;
  std::int64_t modified_ns = 0;

  friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

// The identity of the file open as `fd`, or nothing when fstat fails.
std::optional<FileIdentity> file_identity(int fd);

// A file of a bundle or model directory opened read-only, or why not. Only
// regular files are taken: a symbolic link to a device would be read or
// mapped without end, and a FIFO would block the open until a writer came.
struct RegularFile {
  enum class Failure { none, open, stat, not_regular };

  int fd = -1; // owned by the caller on success, -1 on failure
  std::uint64_t size = 0;
  FileIdentity identity; // as opened
  Failure failure = Failure::none;
  int error = 0; // errno of a failed open or stat
};

// Opens without blocking, then checks the file status; on any failure no
// descriptor stays open.
RegularFile open_regular_file(const std::filesystem::path& path);

} // namespace velmora::detail
