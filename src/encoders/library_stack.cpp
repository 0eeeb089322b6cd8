#include "encoders/library_stack.hpp"

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <limits>
#include <vector>

#include <elf.h>
#include <unistd.h>

namespace velmora::detail {
namespace {

bool read_exact(int fd, void* out, std::size_t count, off_t offset) {
  auto* bytes = static_cast<unsigned char*>(out);
  std::size_t done = 0;
  while (done < count) {
    const ssize_t got = ::pread(fd, bytes + done, count - done, offset + static_cast<off_t>(done));
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      return false;
    }
    done += static_cast<std::size_t>(got);
  }
  return true;
}

} // namespace

StackRequest library_stack_request(int fd) {
  Elf64_Ehdr header;
  if (!read_exact(fd, &header, sizeof header, 0) ||
      std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != ELFCLASS64 ||
      header.e_ident[EI_DATA] != ELFDATA2LSB || header.e_phentsize != sizeof(Elf64_Phdr) ||
      header.e_phnum == PN_XNUM ||
      header.e_phoff > static_cast<Elf64_Off>(std::numeric_limits<off_t>::max())) {
    return StackRequest::not_a_library;
  }
  std::vector<Elf64_Phdr> program(header.e_phnum);
  if (!read_exact(fd, program.data(), program.size() * sizeof(Elf64_Phdr),
                  static_cast<off_t>(header.e_phoff))) {
    return StackRequest::not_a_library;
  }
  for (const Elf64_Phdr& segment : program) {
    if (segment.p_type == PT_GNU_STACK) {
      return (segment.p_flags & PF_X) != 0 ? StackRequest::executable
                                           : StackRequest::non_executable;
    }
  }
  return StackRequest::executable;
}

} // namespace velmora::detail
