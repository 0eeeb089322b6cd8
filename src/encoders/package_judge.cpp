#include "encoders/package_judge.hpp"

#include <array>
#include <cstdint>
#include <optional>

#include <velmora/errors.hpp>
#include <velmora/json.hpp>

namespace velmora::detail {
namespace {

constexpr std::string_view kModelDirectory = "data/aotinductor/model";
constexpr std::string_view kLibrarySuffix = ".so";
// The runtime's metadata is a handful of short strings.
constexpr std::uint64_t kMaxMetadataBytes = 64 * 1024;
// The metadata key of the device a package was compiled for.
constexpr std::string_view kDeviceKey = "AOTI_DEVICE_KEY";

// What the runtime would compile or link into a library of its own.
constexpr std::array<std::string_view, 8> kBuildInputExtensions = {".c", ".cc", ".cpp", ".cxx",
                                                                   ".h", ".hh", ".hpp", ".o"};
constexpr std::array<std::string_view, 2> kBuildInputSuffixes = {"_compile_flags.json",
                                                                 "_linker_flags.json"};

[[noreturn]] void fail(std::string_view kind, std::string_view name, std::string_view defect) {
  throw TransformerError("package " + std::string(kind) + " '" + std::string(name) + "' " +
                         std::string(defect));
}

std::string_view directory_of(std::string_view name) {
  const std::size_t slash = name.rfind('/');
  return slash == std::string_view::npos ? std::string_view() : name.substr(0, slash);
}

std::string_view file_of(std::string_view name) {
  const std::size_t slash = name.rfind('/');
  return slash == std::string_view::npos ? name : name.substr(slash + 1);
}

bool in_model_directory(std::string_view name) {
  const std::string_view directory = directory_of(name);
  return directory == kModelDirectory ||
         (directory.ends_with(kModelDirectory) &&
          directory[directory.size() - kModelDirectory.size() - 1] == '/');
}

bool build_input(std::string_view name) {
  const std::string_view file = file_of(name);
  const std::size_t dot = file.rfind('.');
  if (dot != std::string_view::npos) {
    for (std::string_view extension : kBuildInputExtensions) {
      if (file.substr(dot) == extension) {
        return true;
      }
    }
  }
  for (std::string_view suffix : kBuildInputSuffixes) {
    if (file.ends_with(suffix)) {
      return true;
    }
  }
  return false;
}

std::string_view stem_of(std::string_view library_name) {
  return library_name.substr(0, library_name.size() - kLibrarySuffix.size());
}

void judge_metadata(const FileRange& bytes, const std::string& member) {
  if (bytes.size > kMaxMetadataBytes) {
    fail("metadata", member, "is too large");
  }
  std::string text(static_cast<std::size_t>(bytes.size), '\0');
  if (!bytes.read(text.data(), 0, bytes.size)) {
    fail("metadata", member, "cannot be read");
  }
  JsonValue metadata;
  try {
    metadata = parse_json(text);
  } catch (const JsonError& error) {
    fail("metadata", member, std::string("is not JSON: ") + error.what());
  }
  if (!metadata.is_object()) {
    fail("metadata", member, "is not a JSON object");
  }
  // The runtime reads every value as a string.
  for (const auto& [key, value] : metadata.as_object()) {
    if (!value.is_string()) {
      fail("metadata", member, "has a value that is not a string: '" + key + "'");
    }
  }
  const JsonValue* device = metadata.find(kDeviceKey);
  if (device == nullptr || device->as_string() != "cpu") {
    fail("metadata", member, "does not name the CPU as its device");
  }
}

} // namespace

std::string metadata_name(std::string_view library_name) {
  return std::string(stem_of(library_name)) + "_metadata.json";
}

std::string weights_name(std::string_view library_name) {
  return std::string(stem_of(library_name)) + "_weights.blob";
}

PrebuiltMembers judge_package_members(const std::vector<std::string>& names) {
  std::optional<std::size_t> library;
  for (std::size_t i = 0; i < names.size(); ++i) {
    const std::string& name = names[i];
    if (build_input(name)) {
      fail("member", name, "is a build input: only prebuilt packages are loaded");
    }
    if (!file_of(name).ends_with(kLibrarySuffix)) {
      continue;
    }
    if (!in_model_directory(name)) {
      fail("library", name, "lies outside the model directory 'data/aotinductor/model'");
    }
    if (library) {
      fail("member", name, "is a second library: a package holds one");
    }
    library = i;
  }
  if (!library) {
    throw TransformerError("the package holds no library in its model directory "
                           "'data/aotinductor/model'");
  }
  const std::string& library_name = names[*library];
  const std::string directory = std::string(directory_of(library_name)) + "/";
  const std::string metadata = directory + metadata_name(file_of(library_name));
  const std::string weights = directory + weights_name(file_of(library_name));

  std::optional<std::size_t> metadata_at;
  std::optional<std::size_t> weights_at;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i == *library || !in_model_directory(names[i])) {
      continue;
    }
    std::optional<std::size_t>* found = names[i] == metadata  ? &metadata_at
                                        : names[i] == weights ? &weights_at
                                                              : nullptr;
    if (found == nullptr) {
      fail("member", names[i], "is not part of a prebuilt package");
    }
    if (*found) {
      fail("member", names[i], "appears twice");
    }
    *found = i;
  }
  if (!metadata_at) {
    fail("member", metadata, "is missing");
  }
  if (!weights_at) {
    fail("member", weights, "is missing");
  }
  return {*library, *metadata_at, *weights_at};
}

void judge_prebuilt_package(const std::vector<std::string>& names, const PrebuiltMembers& members,
                            const FileRange& library, const FileRange& metadata,
                            const FileRange& weights) {
  const std::uint64_t declared = judge_package_library(library, names[members.library]);
  judge_metadata(metadata, names[members.metadata]);
  if (declared == 0 || weights.size != declared) {
    fail("weights", names[members.weights],
         "hold " + std::to_string(weights.size) + " bytes, but the library reads " +
             std::to_string(declared));
  }
}

} // namespace velmora::detail
