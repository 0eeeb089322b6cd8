#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>

#include "bundle/regular_file.hpp"

namespace velmora::detail {

// A whole file mapped read-only. The descriptor stays open for as long as the
// mapping lives; an empty file is opened but not mapped (data is null).
struct MappedFile {
  const std::byte* data = nullptr;
  std::uint64_t size = 0;
  int fd = -1;
  // The file as opened, before any of its bytes were read.
  FileIdentity identity;

  MappedFile() = default;
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  ~MappedFile();
};

// Maps `path`; throws ModelBundleError "cannot open/stat/map tensor file:
// <path>: <reason>" (the same words for artifacts).
std::unique_ptr<MappedFile> map_file(const std::filesystem::path& path);

} // namespace velmora::detail
