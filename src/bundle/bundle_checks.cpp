#include "bundle/bundle_checks.hpp"

#include <array>
#include <string>
#include <utility>

#include <velmora/errors.hpp>

namespace velmora::detail {

std::filesystem::path validate_bundle_path(const JsonValue& value, std::string_view context) {
  const std::string& text = value.as_string(context);
  std::filesystem::path path(text);
  // The system's file calls would end the path at a NUL and open another file.
  if (text.empty() || text.find('\0') != std::string::npos || path.has_root_directory()) {
    throw ModelBundleError("bundle path must be non-empty and relative at " + std::string(context));
  }
  for (const std::filesystem::path& element : path) {
    if (element == "..") {
      throw ModelBundleError("bundle path may not traverse parents at " + std::string(context));
    }
  }
  return path;
}

std::uint64_t non_negative_integer(const JsonValue& value, std::string_view context) {
  const long long number = value.as_integer(context);
  if (number < 0) {
    throw ModelBundleError("expected a non-negative integer at " + std::string(context));
  }
  return static_cast<std::uint64_t>(number);
}

std::optional<std::uint64_t> bundle_dtype_size(std::string_view dtype) {
  static constexpr std::array<std::pair<std::string_view, std::uint64_t>, 15> kSizes = {{
      {"bool", 1},
      {"int8", 1},
      {"uint8", 1},
      {"int16", 2},
      {"uint16", 2},
      {"float16", 2},
      {"bfloat16", 2},
      {"int32", 4},
      {"uint32", 4},
      {"float32", 4},
      {"int64", 8},
      {"uint64", 8},
      {"float64", 8},
      {"complex64", 8},
      {"complex128", 16},
  }};
  for (const auto& [name, size] : kSizes) {
    if (name == dtype) {
      return size;
    }
  }
  return std::nullopt;
}

} // namespace velmora::detail
