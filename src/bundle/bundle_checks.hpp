#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>

#include <velmora/json.hpp>

namespace velmora::detail {

// A relative path inside a bundle or model directory, read as a JSON string.
// Throws ModelBundleError when it is empty, holds a NUL, has a root directory
// or has a ".." element; "." elements and repeated separators are kept as
// written.
std::filesystem::path validate_bundle_path(const JsonValue& value, std::string_view context);

// A JSON integer that must not be negative. Throws JsonError for a non-integer
// and ModelBundleError "expected a non-negative integer at <context>".
std::uint64_t non_negative_integer(const JsonValue& value, std::string_view context);

// Bytes per element of a bundle dtype name, or nullopt for an unknown name.
std::optional<std::uint64_t> bundle_dtype_size(std::string_view dtype);

} // namespace velmora::detail
