#include "encoders/package_file.hpp"

#include <cerrno>
#include <limits>

#include <unistd.h>

namespace velmora::detail {

ssize_t read_fully(int fd, void* out, std::size_t count, std::uint64_t offset) {
  auto* bytes = static_cast<unsigned char*>(out);
  std::size_t done = 0;
  while (done < count) {
    constexpr auto kLast = static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());
    if (offset > kLast || done > kLast - offset) {
      errno = EOVERFLOW;
      return -1;
    }
    const ssize_t got = ::pread(fd, bytes + done, count - done, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      return -1;
    }
    if (got == 0) {
      break;
    }
    done += static_cast<std::size_t>(got);
  }
  return static_cast<ssize_t>(done);
}

bool FileRange::read(void* out, std::uint64_t at, std::uint64_t count) const {
  if (at > size || count > size - at || count > std::numeric_limits<std::size_t>::max() / 2) {
    return false;
  }
  return read_fully(fd, out, static_cast<std::size_t>(count), offset + at) ==
         static_cast<ssize_t>(count);
}

Descriptor::~Descriptor() {
  if (fd_ >= 0) {
    ::close(fd_);
  }
}

Descriptor& Descriptor::operator=(Descriptor&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) {
      ::close(fd_);
    }
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

} // namespace velmora::detail
