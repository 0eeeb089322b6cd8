#include "bundle/mapped_file.hpp"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <velmora/errors.hpp>

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
  file->fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (file->fd < 0) {
    fail("open", path, errno);
  }
  struct stat status {};
  if (::fstat(file->fd, &status) != 0) {
    fail("stat", path, errno); // the MappedFile closes the descriptor
  }
  if (status.st_size < 0) {
    fail("stat", path, EOVERFLOW);
  }
  file->size = static_cast<std::uint64_t>(status.st_size);
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
