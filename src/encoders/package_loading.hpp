#pragma once

// Loading a compiled model package for one runner on the CPU. The archive is
// unpacked here, into files without names, and the package runtime loads
// them through a fresh directory of this user's that lives only while it
// does: only the three files a prebuilt package loads from are unpacked,
// and each is judged before the runtime sees it (package_judge.hpp), so the
// runtime never compiles anything, never starts a process and never reads
// past the end of a file; the bytes unpacked are read through one
// descriptor. Once loaded, nothing of the package is left on disk.
// Include only from .cpp files.

#include <filesystem>
#include <memory>

namespace torch::inductor {
class AOTIModelPackageLoader;
} // namespace torch::inductor

namespace velmora::detail {

struct BundleArtifact;

// A loaded package: it needs none of the files it was loaded from. Movable.
struct LoadedPackage {
  LoadedPackage();
  LoadedPackage(LoadedPackage&&) noexcept;
  LoadedPackage& operator=(LoadedPackage&&) noexcept;
  ~LoadedPackage();

  std::unique_ptr<torch::inductor::AOTIModelPackageLoader> loader;
};

// The package a caller names: a package file, or a directory that holds one
// unpacked (judged, then loaded in place). Throws TransformerError with a
// message of this library's naming the member and the defect.
LoadedPackage load_package(const std::filesystem::path& path);

// A bundle's artifact, read through the descriptor the bundle opened (and,
// with verification, hashed) it with: another file moved to its name since
// changes nothing, and a file rewritten in place since is refused. With
// `verified`, the private copies are hashed (with the rest of the archive)
// before anything loads them and must hold what the manifest lists, whatever
// was written to the file meanwhile.
LoadedPackage load_package(const BundleArtifact& artifact, bool verified);

} // namespace velmora::detail
