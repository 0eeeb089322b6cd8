#include <velmora/model_bundle.hpp>

#include <algorithm>
#include <functional>
#include <string>
#include <system_error>
#include <unordered_map>
#include <utility>

#include <velmora/json.hpp>

#include "bundle/bundle_artifact.hpp"
#include "bundle/bundle_checks.hpp"
#include "bundle/finite_values.hpp"
#include "bundle/mapped_file.hpp"
#include "bundle/returning_allocator.hpp"
#include "bundle/sha256.hpp"

namespace velmora {
namespace detail {

struct NameHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view name) const noexcept {
    return std::hash<std::string_view>{}(name);
  }
};

} // namespace detail

namespace {

namespace fs = std::filesystem;
using detail::JsonValue;

std::string single_quoted(std::string_view name) {
  return "'" + std::string(name) + "'";
}

[[noreturn]] void fail(const std::string& message) {
  throw ModelBundleError(message);
}

const std::string& read_string(const JsonValue& object, std::string_view key,
                               std::string_view context) {
  return object.at(key, context).as_string();
}

std::uint64_t checked_tensor_bytes(const TensorDescriptor& tensor, std::uint64_t element_size) {
  std::uint64_t product = element_size;
  for (std::int64_t dimension : tensor.shape) {
    if (__builtin_mul_overflow(product, static_cast<std::uint64_t>(dimension), &product)) {
      fail("tensor size overflow: " + single_quoted(tensor.name));
    }
  }
  return product;
}

} // namespace

class ModelBundleImpl {
public:
  ModelBundleImpl(fs::path directory, bool verify_checksums, bool hash_artifacts);

  fs::path path;
  std::string language;
  std::string processor;
  std::string package;
  std::string tavrel_version;
  std::string resources_version;
  bool checksums_verified = false;
  std::string assets_json;
  std::vector<TensorDescriptor> tensors;
  std::unordered_map<std::string, std::size_t, detail::NameHash, std::equal_to<>> tensor_index;
  // Declared last so that they are released first: artifacts, then the tensor
  // file, then the rest.
  std::unique_ptr<detail::MappedFile> tensor_file;
  std::vector<detail::BundleArtifact> artifacts;

  const TensorDescriptor& find_tensor(std::string_view name) const {
    auto found = tensor_index.find(name);
    if (found == tensor_index.end()) {
      fail("tensor is not present in bundle: " + single_quoted(name));
    }
    return tensors[found->second];
  }

private:
  void read_tensors(const JsonValue& manifest, std::uint64_t alignment);
  void read_artifacts(const JsonValue& entries);
  void verify(const JsonValue& manifest, bool hash_artifacts);
};

ModelBundleImpl::ModelBundleImpl(fs::path directory, bool verify_checksums, bool hash_artifacts) {
  std::error_code error;
  path = fs::absolute(directory, error);
  if (error) {
    path = std::move(directory);
  }
  if (!fs::is_directory(path, error)) {
    fail("model bundle is not a directory: " + path.string());
  }

  const JsonValue manifest = detail::load_json(path / "manifest.json");
  if (read_string(manifest, "format", "manifest") != "velmora-model-bundle") {
    fail("unsupported model bundle format");
  }
  if (manifest.at("format_version", "manifest").as_integer() != 1) {
    fail("unsupported model bundle version");
  }
  if (read_string(manifest, "byte_order", "manifest") != "little") {
    fail("only little-endian bundles are supported");
  }
  language = read_string(manifest, "language", "manifest");
  processor = read_string(manifest, "processor", "manifest");
  package = read_string(manifest, "package", "manifest");
  tavrel_version = read_string(manifest, "tavrel_version", "manifest");
  resources_version = read_string(manifest, "resources_version", "manifest");

  const std::uint64_t alignment = detail::non_negative_integer(
      manifest.at("tensor_alignment", "manifest"), "manifest.tensor_alignment");
  if (alignment == 0 || (alignment & (alignment - 1)) != 0) {
    fail("tensor alignment must be a non-zero power of two");
  }

  const JsonValue& assets = manifest.at("assets", "manifest");
  assets_json = detail::load_text_file(
      path /
      detail::validate_bundle_path(assets.at("path", "manifest.assets"), "manifest.assets.path"));

  const JsonValue& tensor_file_entry = manifest.at("tensor_file", "manifest");
  tensor_file = detail::map_file(
      path / detail::validate_bundle_path(tensor_file_entry.at("path", "manifest.tensor_file"),
                                          "manifest.tensor_file.path"));
  if (detail::non_negative_integer(tensor_file_entry.at("size", "manifest.tensor_file"),
                                   "manifest.tensor_file.size") != tensor_file->size) {
    fail("tensor file size mismatch");
  }

  if (const JsonValue* entries = manifest.find("artifacts")) {
    read_artifacts(*entries);
  }
  read_tensors(manifest, alignment);
  if (verify_checksums) {
    verify(manifest, hash_artifacts);
    checksums_verified = true;
  }
}

void ModelBundleImpl::read_artifacts(const JsonValue& entries) {
  const JsonValue::Array& list = entries.as_array("manifest.artifacts");
  artifacts.reserve(list.size());
  for (std::size_t i = 0; i < list.size(); ++i) {
    const std::string context = "manifest.artifacts[" + std::to_string(i) + "]";
    const JsonValue& entry = list[i];
    const fs::path relative =
        detail::validate_bundle_path(entry.at("path", context), context + ".path");
    detail::BundleArtifact artifact;
    artifact.path = relative.string();
    artifact.file = detail::map_file(path / relative);
    if (detail::non_negative_integer(entry.at("size", context), context + ".size") !=
        artifact.file->size) {
      fail("artifact file size mismatch: " + single_quoted(artifact.path));
    }
    artifact.sha256 = entry.at("sha256", context).as_string(context + ".sha256");
    artifacts.push_back(std::move(artifact));
  }
}

void ModelBundleImpl::read_tensors(const JsonValue& manifest, std::uint64_t alignment) {
  const JsonValue::Array& list = manifest.at("tensors", "manifest").as_array("manifest.tensors");
  const std::uint64_t file_size = tensor_file->size;
  tensors.reserve(list.size());
  tensor_index.reserve(list.size());
  std::uint64_t previous_end = 0;
  for (std::size_t i = 0; i < list.size(); ++i) {
    const std::string context = "manifest.tensors[" + std::to_string(i) + "]";
    const JsonValue& entry = list[i];
    TensorDescriptor tensor;
    tensor.name = entry.at("name", context).as_string(context);
    tensor.dtype = entry.at("dtype", context).as_string(context);
    tensor.offset = detail::non_negative_integer(entry.at("offset", context), context + ".offset");
    tensor.nbytes = detail::non_negative_integer(entry.at("nbytes", context), context + ".nbytes");
    tensor.sha256 = entry.at("sha256", context).as_string(context);
    const std::string shape_context = context + ".shape";
    const JsonValue::Array& shape = entry.at("shape", context).as_array(shape_context);
    tensor.shape.reserve(shape.size());
    for (const JsonValue& dimension : shape) {
      const long long extent = dimension.as_integer(shape_context);
      if (extent < 0) {
        fail("negative tensor dimension for " + single_quoted(tensor.name));
      }
      tensor.shape.push_back(extent);
    }

    if (tensor.offset % alignment != 0) {
      fail("misaligned tensor: " + single_quoted(tensor.name));
    }
    if (tensor.offset < previous_end || tensor.offset > file_size ||
        tensor.nbytes > file_size - tensor.offset) {
      fail("invalid tensor range: " + single_quoted(tensor.name));
    }
    const std::optional<std::uint64_t> element_size = detail::bundle_dtype_size(tensor.dtype);
    if (!element_size) {
      fail("unsupported tensor dtype: " + tensor.dtype);
    }
    if (checked_tensor_bytes(tensor, *element_size) != tensor.nbytes) {
      fail("tensor byte size does not match dtype and shape: " + single_quoted(tensor.name));
    }
    if (!tensor_index.try_emplace(tensor.name, tensors.size()).second) {
      fail("duplicate tensor name: " + single_quoted(tensor.name));
    }
    previous_end = tensor.offset + tensor.nbytes;
    tensors.push_back(std::move(tensor));
  }
}

void ModelBundleImpl::verify(const JsonValue& manifest, bool hash_artifacts) {
  const std::string& assets_digest =
      read_string(manifest.at("assets", "manifest"), "sha256", "manifest.assets");
  if (detail::sha256_hex(reinterpret_cast<const std::byte*>(assets_json.data()),
                         assets_json.size()) != assets_digest) {
    fail("assets checksum mismatch");
  }
  const std::string& file_digest =
      read_string(manifest.at("tensor_file", "manifest"), "sha256", "manifest.tensor_file");
  const std::byte* base = tensor_file->data;
  if (detail::sha256_hex(base, tensor_file->size) != file_digest) {
    fail("tensor file checksum mismatch");
  }
  for (const TensorDescriptor& tensor : tensors) {
    // One pass per tensor hashes it and looks for a NaN or an infinity, a
    // block at a time while the block is in cache: a matching checksum says
    // nothing about whether the weights can be computed with.
    constexpr std::uint64_t kBlock = std::uint64_t{1} << 16; // whole elements of every dtype
    detail::Sha256 hash;
    bool non_finite = false;
    for (std::uint64_t done = 0; done < tensor.nbytes; done += kBlock) {
      const std::byte* block = base + tensor.offset + done;
      const auto size = static_cast<std::size_t>(std::min(kBlock, tensor.nbytes - done));
      hash.update(block, size);
      non_finite = non_finite || detail::holds_non_finite(tensor.dtype, block, size);
    }
    if (hash.finish_hex() != tensor.sha256) {
      fail("tensor checksum mismatch: " + single_quoted(tensor.name));
    }
    if (non_finite) {
      fail("tensor holds a non-finite value: " + single_quoted(tensor.name));
    }
  }
  if (!hash_artifacts) {
    return;
  }
  for (detail::BundleArtifact& artifact : artifacts) {
    if (detail::sha256_hex(artifact.file->data, artifact.file->size) != artifact.sha256) {
      detail::artifact_checksum_mismatch(artifact);
    }
    artifact.hashed = true;
  }
}

ModelBundle::ModelBundle(std::filesystem::path directory, bool verify_checksums)
    : ModelBundle(std::move(directory), verify_checksums, /*hash_artifacts=*/true) {}

ModelBundle::ModelBundle(std::filesystem::path directory, bool verify_checksums,
                         bool hash_artifacts) {
  detail::use_returning_allocator();
  try {
    impl_ =
        std::make_unique<ModelBundleImpl>(std::move(directory), verify_checksums, hash_artifacts);
  } catch (const detail::JsonError& error) {
    throw ModelBundleError(error.what());
  }
}

std::shared_ptr<ModelBundle> detail::open_plan_bundle(std::filesystem::path directory,
                                                      bool verify_checksums) {
  return std::shared_ptr<ModelBundle>(
      new ModelBundle(std::move(directory), verify_checksums, /*hash_artifacts=*/false));
}

void detail::artifact_checksum_mismatch(const BundleArtifact& artifact) {
  fail("artifact checksum mismatch: " + single_quoted(artifact.path));
}

ModelBundle::ModelBundle(ModelBundle&& other) noexcept = default;
ModelBundle& ModelBundle::operator=(ModelBundle&& other) noexcept = default;
ModelBundle::~ModelBundle() = default;

const ModelBundleImpl& ModelBundle::impl() const {
  if (!impl_) {
    throw ModelBundleError("model bundle has been moved from");
  }
  return *impl_;
}

const std::filesystem::path& ModelBundle::path() const {
  return impl().path;
}
const std::string& ModelBundle::language() const {
  return impl().language;
}
const std::string& ModelBundle::processor() const {
  return impl().processor;
}
const std::string& ModelBundle::package() const {
  return impl().package;
}
const std::string& ModelBundle::tavrel_version() const {
  return impl().tavrel_version;
}
const std::string& ModelBundle::resources_version() const {
  return impl().resources_version;
}
bool ModelBundle::checksums_verified() const {
  return impl().checksums_verified;
}
std::uint64_t ModelBundle::tensor_file_size() const {
  return impl().tensor_file->size;
}
const std::vector<TensorDescriptor>& ModelBundle::tensors() const {
  return impl().tensors;
}
const std::string& ModelBundle::assets_json() const {
  return impl().assets_json;
}

std::vector<std::string> ModelBundle::tensor_names() const {
  std::vector<std::string> names;
  names.reserve(impl().tensors.size());
  for (const TensorDescriptor& tensor : impl().tensors) {
    names.push_back(tensor.name);
  }
  return names;
}

const TensorDescriptor& ModelBundle::tensor(std::string_view name) const {
  return impl().find_tensor(name);
}

const detail::BundleArtifact* detail::find_artifact(const ModelBundle& bundle,
                                                    const std::filesystem::path& relative) {
  const fs::path wanted = relative.lexically_normal();
  for (const BundleArtifact& artifact : bundle.impl().artifacts) {
    if (fs::path(artifact.path).lexically_normal() == wanted) {
      return &artifact;
    }
  }
  return nullptr;
}

const std::byte* ModelBundle::tensor_data(std::string_view name) const {
  const ModelBundleImpl& bundle = impl();
  const TensorDescriptor& tensor = bundle.find_tensor(name);
  if (bundle.tensor_file->data == nullptr) {
    return nullptr;
  }
  return bundle.tensor_file->data + tensor.offset;
}

} // namespace velmora
