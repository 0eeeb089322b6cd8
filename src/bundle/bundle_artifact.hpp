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
};

// The artifact of `bundle` whose manifest path names `relative` (both taken
// in lexically normal form, so "./a.pt2" names "a.pt2"), or null when the
// manifest lists no such artifact.
const BundleArtifact* find_artifact(const ModelBundle& bundle,
                                    const std::filesystem::path& relative);

} // namespace velmora::detail
