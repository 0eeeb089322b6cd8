#pragma once

// What a shared library asks of the process stack. Loading a library whose
// program headers ask for an executable stack makes the dynamic loader turn
// the stack of every thread of the process executable, for the rest of the
// process: so a library is judged before it is loaded.

namespace velmora::detail {

enum class StackRequest {
  non_executable,
  // PT_GNU_STACK with PF_X, or no PT_GNU_STACK at all (the default of the
  // platform is then an executable stack).
  executable,
  // Not a 64-bit little-endian ELF file with readable program headers.
  not_a_library,
};

// The request of the library open as `fd` (read with pread; the file offset
// does not move).
StackRequest library_stack_request(int fd);

} // namespace velmora::detail
