#pragma once

// Reading a package's files by position, and the descriptors they are read
// through.

#include <cstddef>
#include <cstdint>

#include <sys/types.h>

namespace velmora::detail {

// Reads `count` bytes at `offset` of the file open as `fd` with pread (the
// file offset does not move), again after an interruption or a short read.
// Returns the bytes read, fewer than `count` only where the file ends, or -1
// with errno set.
ssize_t read_fully(int fd, void* out, std::size_t count, std::uint64_t offset);

// The bytes [offset, offset + size) of the file open as `fd`.
struct FileRange {
  int fd = -1;
  std::uint64_t offset = 0;
  std::uint64_t size = 0;

  // Reads [at, at + count) of the range; false when that leaves the range,
  // the file ends early or cannot be read.
  bool read(void* out, std::uint64_t at, std::uint64_t count) const;
};

// An open descriptor, closed with the object.
class Descriptor {
public:
  explicit Descriptor(int fd = -1) noexcept : fd_(fd) {}
  ~Descriptor();
  Descriptor(Descriptor&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  Descriptor& operator=(Descriptor&& other) noexcept;
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const noexcept { return fd_; }

private:
  int fd_;
};

} // namespace velmora::detail
