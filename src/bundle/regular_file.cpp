#include "bundle/regular_file.hpp"

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velmora::detail {
namespace {

FileIdentity identity_of(const struct stat& status) {
  FileIdentity identity;
  identity.device = static_cast<std::uint64_t>(status.st_dev);
  identity.inode = static_cast<std::uint64_t>(status.st_ino);
  identity.size = static_cast<std::uint64_t>(status.st_size);
  identity.modified_ns =
      std::int64_t{status.st_mtim.tv_sec} * 1'000'000'000 + status.st_mtim.tv_nsec;
  return identity;
}

} // namespace

std::optional<FileIdentity> file_identity(int fd) {
  struct stat status {};
  if (::fstat(fd, &status) != 0) {
    return std::nullopt;
  }
  return identity_of(status);
}

RegularFile open_regular_file(const std::filesystem::path& path) {
  RegularFile file;
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    file.failure = RegularFile::Failure::open;
    file.error = errno;
    return file;
  }
  struct stat status {};
  if (::fstat(fd, &status) != 0 || status.st_size < 0) {
    file.failure = RegularFile::Failure::stat;
    file.error = status.st_size < 0 ? EOVERFLOW : errno;
    ::close(fd);
    return file;
  }
  if (!S_ISREG(status.st_mode)) {
    file.failure = RegularFile::Failure::not_regular;
    ::close(fd);
    return file;
  }
  file.fd = fd;
  file.size = static_cast<std::uint64_t>(status.st_size);
  file.identity = identity_of(status);
  return file;
}

} // namespace velmora::detail
