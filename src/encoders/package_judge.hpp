#pragma once

// What a compiled model package must hold before the package runtime may see
// it. The runtime loads a model from three files of its model directory
// ("data/aotinductor/model"): a library, the library's metadata and the
// weights file the library reads. Given sources and compile and link flags
// instead, it builds a library by running a command line taken from the
// package: so a package is loaded only as prebuilt code, and every file the
// runtime takes on trust is checked first.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "encoders/package_library.hpp"

namespace velmora::detail {

// The positions, in a package's list of files, of the three the runtime reads.
struct PrebuiltMembers {
  std::size_t library = 0;
  std::size_t metadata = 0;
  std::size_t weights = 0;
};

// Judges a package's files by name (relative paths with "/" separators):
// no source, object or compile or link flag file anywhere, exactly one
// library, in a model directory, and beside it that library's metadata
// and weights and nothing else. Throws TransformerError naming the member
// at fault (or missing).
PrebuiltMembers judge_package_members(const std::vector<std::string>& names);

// The file names of the members the runtime reads beside the library
// `library_name` ("<stem>.so").
std::string metadata_name(std::string_view library_name);
std::string weights_name(std::string_view library_name);

// Judges the contents of the three members: the library (see
// judge_package_library), metadata that the runtime can read (a flat JSON
// object of strings naming the CPU as its device) and a weights file of
// the size the library states. Reads them and runs nothing. Throws
// TransformerError naming the member.
void judge_prebuilt_package(const std::vector<std::string>& names, const PrebuiltMembers& members,
                            const FileRange& library, const FileRange& metadata,
                            const FileRange& weights);

} // namespace velmora::detail
