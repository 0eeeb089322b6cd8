#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include <velmora/model_bundle.hpp>

#include "bundle/mapped_file.hpp"

namespace velmora::detail {

// One artifact of a bundle, mapped (and, with verification, hashed) while
// the bundle opened. The descriptor stays open with the mapping, so a
// component that loads the artifact reads the very file that was checked,
// whatever has since been moved to its name.
struct BundleArtifact {
  std::string path; // relative, as written in the manifest
  std::string sha256;
  std::unique_ptr<MappedFile> file;
  // Whether opening the bundle hashed it. With verification, an artifact
  // that was not must be hashed by the component that reads it, over the
  // bytes it reads: failing that, with "artifact checksum mismatch".
  bool hashed = false;
};

// A plan's bundle. Opening checks what ModelBundle's constructor checks,
// but with verification an artifact is left to the component that loads it,
// which has to hash the very bytes it takes (a file can change between two
// reads): a second pass over the artifact here would only double the time
// of loading a large compiled transformer.
std::shared_ptr<ModelBundle> open_plan_bundle(std::filesystem::path directory,
                                              bool verify_checksums);

// "artifact checksum mismatch: '<path>'" as the bundle reports it.
[[noreturn]] void artifact_checksum_mismatch(const BundleArtifact& artifact);

// The artifact of `bundle` whose manifest path names `relative` (both taken
// in lexically normal form, so "./a.pt2" names "a.pt2"), or null when the
// manifest lists no such artifact.
const BundleArtifact* find_artifact(const ModelBundle& bundle,
                                    const std::filesystem::path& relative);

} // namespace velmora::detail
