#pragma once

// The package runtime's library stays mapped for the rest of the process
// once any thread has run it: the library holds a thread_local with a
// destructor, and the dynamic loader unloads no library while a living
// thread still has such a destructor of it pending. A process that loads
// the same package again and again would so map one more copy each time.
// Instead, the first load of a library keeps a descriptor of its file (which
// may have no name left), and every later load of a library with the same
// bytes hands the dynamic loader that same file, which it recognises (by
// device and inode) as the library it has mapped already.

#include <string>

namespace velmora::detail {

// A descriptor of the kept library whose bytes have this SHA-256 digest, or
// -1 when none has been kept. The descriptor stays open for the rest of the
// process; never close it.
int kept_library(const std::string& digest);

// Keeps a read-only descriptor of the file open as `fd` for the library with
// this digest, unless one is kept already. Failing to open it only keeps
// nothing.
void keep_library(const std::string& digest, int fd);

} // namespace velmora::detail
