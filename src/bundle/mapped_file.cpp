#include "bundle/mapped_file.hpp"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include <sys/mman.h>
#include <unistd.h>

#include <velmora/errors.hpp>

#include "bundle/regular_file.hpp"

namespace velmora::detail {
namespace {

[[noreturn]] void fail(const char* what, const std::filesystem::path& path, int error) {
  throw ModelBundleError(std::string("cannot ") + what + " tensor file: " + path.string() + ": " +
                         std::strerror(error));
}

} // namespace

MappedFile::~MappedFile() {
  if (data != nullptr) {
    ::munmap(const_cast<std::byte*>(data), static_cast<std::size_t>(size));
  }
  if (fd >= 0) {
    ::close(fd);
  }
}

std::unique_ptr<MappedFile> map_file(const std::filesystem::path& path) {
  auto file = std::make_unique<MappedFile>();
  const RegularFile opened = open_regular_file(path);
  switch (opened.failure) {
  case RegularFile::Failure::none:
    break;
  case RegularFile::Failure::open:
    fail("open", path, opened.error);
  case RegularFile::Failure::stat:
    fail("stat", path, opened.error);
  case RegularFile::Failure::not_regular:
    throw ModelBundleError("cannot map tensor file: " + path.string() + ": not a regular file");
  }
  file->fd = opened.fd;
  file->size = opened.size;
  file->identity = opened.identity;
  if (file->size == 0) {
    return file;
  }
  if constexpr (sizeof(std::size_t) < sizeof(std::uint64_t)) {
    if (file->size > SIZE_MAX) {
      fail("map", path, EFBIG);
    }
  }
  void* data =
      ::mmap(nullptr, static_cast<std::size_t>(file->size), PROT_READ, MAP_PRIVATE, file->fd, 0);
  if (data == MAP_FAILED) {
    fail("map", path, errno);
  }
  file->data = static_cast<const std::byte*>(data);
  return file;
}

} // namespace velmora::detail
