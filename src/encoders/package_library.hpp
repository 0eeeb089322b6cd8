#pragma once

// What loading a package's library takes on trust, checked by reading the
// file and running none of it. The dynamic loader maps the library's
// segments as its program headers place them: a segment that reaches past
// the end of the file faults when it is touched, and a library whose
// headers ask for an executable stack makes the stack of every thread of
// the process executable, for the rest of the process. The package runtime
// then maps the weights file for as many bytes as the library says it
// holds, and copies them.

#include <cstdint>
#include <string>

#include "encoders/package_file.hpp"

namespace velmora::detail {

// Judges the library `member` held in `bytes`: a 64-bit ELF shared library
// for this machine whose segments and sections lie inside the file, that
// leaves the stack non-executable and that states the size of its weights
// file. Returns that size. Throws TransformerError "package library
// '<member>' ..." naming the defect.
std::uint64_t judge_package_library(const FileRange& bytes, const std::string& member);

} // namespace velmora::detail
