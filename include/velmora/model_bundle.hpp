#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <velmora/errors.hpp>

namespace velmora {

// One tensor of a bundle's tensor file, as the manifest describes it.
struct TensorDescriptor {
  std::string name;
  // One of: bool int8 uint8 int16 uint16 float16 bfloat16 int32 uint32 float32
  // int64 uint64 float64 complex64 complex128 (little-endian data).
  std::string dtype;
  std::vector<std::int64_t> shape; // empty for a scalar
  std::uint64_t offset = 0;        // multiple of the bundle's tensor alignment
  std::uint64_t nbytes = 0;        // element size times the product of `shape`
  std::string sha256;              // as written in the manifest
};

class ModelBundleImpl;
class ModelBundle;

namespace detail {
struct BundleArtifact;
const BundleArtifact* find_artifact(const ModelBundle& bundle,
                                    const std::filesystem::path& relative);
std::shared_ptr<ModelBundle> open_plan_bundle(std::filesystem::path directory,
                                              bool verify_checksums);
} // namespace detail

// A read-only view of one converted model bundle directory: manifest identity,
// the raw assets JSON text and every tensor by name. The tensor file and the
// artifacts stay mapped read-only while the bundle lives; tensors are served
// in place, never copied. Immutable after construction, so one bundle may be
// shared by any number of threads. Movable, not copyable.
class ModelBundle {
public:
  // Opens and validates the bundle; SHA-256 checksums are checked only when
  // `verify_checksums` is true (sizes and tensor layout always are), and so
  // is that every floating tensor holds finite values. Throws
  // ModelBundleError on every failure.
  ModelBundle(std::filesystem::path directory, bool verify_checksums);
  ModelBundle(ModelBundle&& other) noexcept;
  ModelBundle& operator=(ModelBundle&& other) noexcept;
  ModelBundle(const ModelBundle&) = delete;
  ModelBundle& operator=(const ModelBundle&) = delete;
  ~ModelBundle();

  // The bundle directory as an absolute (not canonical) path.
  const std::filesystem::path& path() const;
  const std::string& language() const;
  const std::string& processor() const;
  const std::string& package() const;
  const std::string& tavrel_version() const;
  const std::string& resources_version() const;
  bool checksums_verified() const;
  std::uint64_t tensor_file_size() const;

  // Every descriptor in manifest order.
  const std::vector<TensorDescriptor>& tensors() const;
  std::vector<std::string> tensor_names() const;
  // Throws ModelBundleError "tensor is not present in bundle: '<name>'".
  const TensorDescriptor& tensor(std::string_view name) const;
  // The tensor's first byte inside the read-only mapping (null for a tensor of
  // an empty tensor file). Never write through it. Same failure as tensor().
  const std::byte* tensor_data(std::string_view name) const;

  // The raw, unparsed text of the assets JSON file.
  const std::string& assets_json() const;

private:
  friend const detail::BundleArtifact* detail::find_artifact(const ModelBundle&,
                                                             const std::filesystem::path&);
  friend std::shared_ptr<ModelBundle> detail::open_plan_bundle(std::filesystem::path, bool);
  ModelBundle(std::filesystem::path directory, bool verify_checksums, bool hash_artifacts);
  const ModelBundleImpl& impl() const;

  std::unique_ptr<ModelBundleImpl> impl_;
};

} // namespace velmora
