#pragma once

#include <cstdint>
#include <filesystem>

namespace velmora::detail {

// A file of a bundle or model directory opened read-only, or why not. Only
// regular files are taken: a symbolic link to a device would be read or
// mapped without end, and a FIFO would block the open until a writer came.
struct RegularFile {
  enum class Failure { none, open, stat, not_regular };

  int fd = -1; // owned by the caller on success, -1 on failure
  std::uint64_t size = 0;
  Failure failure = Failure::none;
  int error = 0; // errno of a failed open or stat
};

// Opens without blocking, then checks the file status; on any failure no
// descriptor stays open.
RegularFile open_regular_file(const std::filesystem::path& path);

} // namespace velmora::detail
