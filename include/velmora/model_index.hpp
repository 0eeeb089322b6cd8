#pragma once

#include <filesystem>
#include <string_view>

#include <velmora/errors.hpp>

namespace velmora {

// Finds the bundle directory for (resources version, language, processor,
// package) through <root>/<resources_version>/<language>/index.json. The
// package "default" matches an entry of any package name, provided it is the
// only entry for the processor. Returns the absolute index directory joined
// with the entry's relative path (not normalised, not checked for existence).
// Throws ModelBundleError on every failure.
std::filesystem::path resolve_model_bundle(const std::filesystem::path& root,
                                           std::string_view resources_version,
                                           std::string_view language, std::string_view processor,
                                           std::string_view package);

} // namespace velmora
