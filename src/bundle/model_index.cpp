#include <velmora/model_index.hpp>

#include <string>
#include <system_error>
#include <vector>

#include <velmora/json.hpp>

#include "bundle/bundle_checks.hpp"

namespace velmora {
namespace {

namespace fs = std::filesystem;

// Identifiers become directory names, so they may hold nothing that could
// climb out of the model directory or name something else.
void validate_identifier(std::string_view value, std::string_view what) {
  bool valid = !value.empty() && value != "." && value != "..";
  for (char c : value) {
    const bool allowed = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                         (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_';
    valid = valid && allowed;
  }
  if (!valid) {
    throw ModelBundleError("invalid " + std::string(what) + ": " + std::string(value));
  }
}

fs::path resolve(const fs::path& root, std::string_view resources_version,
                 std::string_view language, std::string_view processor, std::string_view package) {
  validate_identifier(resources_version, "resources version");
  validate_identifier(language, "language");
  validate_identifier(processor, "processor");
  validate_identifier(package, "package");

  std::error_code error;
  fs::path index_dir = fs::absolute(root, error);
  if (error) {
    index_dir = root;
  }
  index_dir /= resources_version;
  index_dir /= language;
  const detail::JsonValue index = detail::load_json(index_dir / "index.json");

  if (index.at("format", "index").as_string() != "velmora-model-index" ||
      index.at("format_version", "index").as_integer() != 1) {
    throw ModelBundleError("unsupported model index format");
  }
  if (index.at("resources_version", "index").as_string() != resources_version ||
      index.at("language", "index").as_string() != language) {
    throw ModelBundleError("model index identity does not match requested model");
  }

  const bool any_package = package == "default";
  std::vector<fs::path> candidates;
  for (const detail::JsonValue& entry : index.at("bundles", "index").as_array("index.bundles")) {
    if (entry.at("processor", "index.bundles[]").as_string() != processor) {
      continue;
    }
    // Read even when any package will do: an entry for the processor must
    // name its package.
    const std::string& entry_package = entry.at("package", "index.bundles[]").as_string();
    if (!any_package && entry_package != package) {
      continue;
    }
    candidates.push_back(
        index_dir /
        detail::validate_bundle_path(entry.at("path", "index.bundles[]"), "index.bundles[].path"));
  }

  if (candidates.empty()) {
    throw ModelBundleError("no converted bundle for " + std::string(language) + "/" +
                           std::string(processor) + "/" + std::string(package));
  }
  if (candidates.size() > 1) {
    throw ModelBundleError("package 'default' is ambiguous for converted processor '" +
                           std::string(processor) + "'");
  }
  return candidates.front();
}

} // namespace

std::filesystem::path resolve_model_bundle(const std::filesystem::path& root,
                                           std::string_view resources_version,
                                           std::string_view language, std::string_view processor,
                                           std::string_view package) {
  try {
    return resolve(root, resources_version, language, processor, package);
  } catch (const detail::JsonError& error) {
    throw ModelBundleError(error.what());
  }
}

} // namespace velmora
