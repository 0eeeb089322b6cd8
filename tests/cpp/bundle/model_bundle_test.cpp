#include <velmora/model_bundle.hpp>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <velmora/json.hpp>

#include "bundle/sha256.hpp"
#include "test_support.hpp"

namespace {

namespace fs = std::filesystem;
using velmora::ModelBundle;
using velmora::ModelBundleError;

fs::path case_dir(const std::string& name) {
  return velmora::test::fixture("bundle/cases/" + name);
}

std::string open_error(const fs::path& directory, bool verify) {
  try {
    ModelBundle bundle(directory, verify);
  } catch (const ModelBundleError& error) {
    return error.what();
  }
  return "<opened>";
}

std::size_t open_descriptors() {
  return static_cast<std::size_t>(
      std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()));
}

struct Refusal {
  std::string bundle;
  std::string message; // "@" stands for the bundle directory
  bool only_when_verifying = false;
};

void PrintTo(const Refusal& refusal, std::ostream* out) {
  *out << refusal.bundle;
}

class BundleRefusal : public testing::TestWithParam<Refusal> {};

TEST_P(BundleRefusal, HasItsExactMessage) {
  const Refusal& refusal = GetParam();
  std::string expected = refusal.message;
  if (auto at = expected.find('@'); at != std::string::npos) {
    expected.replace(at, 1, case_dir(refusal.bundle).string());
  }
  EXPECT_EQ(open_error(case_dir(refusal.bundle), true), expected);
  if (refusal.only_when_verifying) {
    EXPECT_FALSE(ModelBundle(case_dir(refusal.bundle), false).checksums_verified());
  } else {
    EXPECT_EQ(open_error(case_dir(refusal.bundle), false), expected);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Manifest, BundleRefusal,
    testing::Values(Refusal{"no_manifest", "cannot open JSON file: @/manifest.json"},
                    Refusal{"wrong_format", "unsupported model bundle format"},
                    Refusal{"version_2", "unsupported model bundle version"},
                    Refusal{"version_double", "expected JSON integer"},
                    Refusal{"big_endian", "only little-endian bundles are supported"},
                    Refusal{"alignment_0", "tensor alignment must be a non-zero power of two"},
                    Refusal{"alignment_3", "tensor alignment must be a non-zero power of two"},
                    Refusal{"alignment_6", "tensor alignment must be a non-zero power of two"},
                    Refusal{"alignment_negative",
                            "expected a non-negative integer at manifest.tensor_alignment"},
                    Refusal{"assets_absolute",
                            "bundle path must be non-empty and relative at manifest.assets.path"},
                    Refusal{"assets_empty",
                            "bundle path must be non-empty and relative at manifest.assets.path"},
                    Refusal{"assets_parent",
                            "bundle path may not traverse parents at manifest.assets.path"},
                    Refusal{"assets_missing", "cannot open JSON file: @/missing.json"},
                    Refusal{"tensor_file_parent",
                            "bundle path may not traverse parents at manifest.tensor_file.path"},
                    Refusal{"missing_tensors", "missing JSON key 'tensors' at manifest"},
                    Refusal{"artifacts_null", "expected JSON array at manifest.artifacts"},
                    Refusal{"artifact_parent",
                            "bundle path may not traverse parents at manifest.artifacts[0].path"}),
    [](const auto& info) { return info.param.bundle; });

INSTANTIATE_TEST_SUITE_P(
    Files, BundleRefusal,
    testing::Values(Refusal{"tensor_file_size", "tensor file size mismatch"},
                    Refusal{"truncated_tensor_file", "tensor file size mismatch"},
                    Refusal{"truncated_consistent", "invalid tensor range: 'gamma'"},
                    Refusal{"missing_tensor_file",
                            "cannot open tensor file: @/tensors.bin: No such file or directory"},
                    Refusal{"artifact_size", "artifact file size mismatch: 'extra/blob.bin'"},
                    Refusal{
                        "artifact_missing",
                        "cannot open tensor file: @/extra/blob.bin: No such file or directory"}),
    [](const auto& info) { return info.param.bundle; });

INSTANTIATE_TEST_SUITE_P(
    Layout, BundleRefusal,
    testing::Values(
        Refusal{"misaligned", "misaligned tensor: 'beta'"},
        Refusal{"overlapping", "invalid tensor range: 'beta'"},
        Refusal{"out_of_order", "invalid tensor range: 'alpha'"},
        Refusal{"past_end", "invalid tensor range: 'gamma'"},
        Refusal{"offset_past_end", "invalid tensor range: 'gamma'"},
        Refusal{"negative_offset", "expected a non-negative integer at manifest.tensors[1].offset"},
        Refusal{"dtype_unknown", "unsupported tensor dtype: float"},
        Refusal{"dtype_case", "unsupported tensor dtype: Float32"},
        Refusal{"byte_size", "tensor byte size does not match dtype and shape: 'alpha'"},
        Refusal{"overflow", "tensor size overflow: 'alpha'"},
        Refusal{"negative_dimension", "negative tensor dimension for 'alpha'"},
        Refusal{"dimension_double", "expected JSON integer at manifest.tensors[0].shape"},
        Refusal{"shape_not_array", "expected JSON array at manifest.tensors[0].shape"},
        Refusal{"duplicate_name", "duplicate tensor name: 'alpha'"}),
    [](const auto& info) { return info.param.bundle; });

INSTANTIATE_TEST_SUITE_P(
    Checksums, BundleRefusal,
    testing::Values(
        Refusal{"assets_checksum", "assets checksum mismatch", true},
        Refusal{"tensor_file_checksum", "tensor file checksum mismatch", true},
        Refusal{"tensor_checksum", "tensor checksum mismatch: 'beta'", true},
        Refusal{"tensor_checksum_upper", "tensor checksum mismatch: 'alpha'", true},
        Refusal{"artifact_checksum", "artifact checksum mismatch: 'extra/blob.bin'", true},
        Refusal{"no_file_digests", "missing JSON key 'sha256' at manifest.assets", true}),
    [](const auto& info) { return info.param.bundle; });

TEST(ModelBundle, ServesManifestAssetsAndTensorsInPlace) {
  const fs::path dir = velmora::test::fixture("bundle/valid");
  // The digests come from Python's hashlib, so this cross-checks SHA-256.
  const ModelBundle bundle(dir, true);
  EXPECT_TRUE(bundle.checksums_verified());
  EXPECT_EQ(bundle.path(), dir);
  EXPECT_EQ(bundle.language(), "de");
  EXPECT_EQ(bundle.processor(), "lemma");
  EXPECT_EQ(bundle.package(), "gsd");
  EXPECT_EQ(bundle.tavrel_version(), "1.14.2");
  EXPECT_EQ(bundle.resources_version(), "1.14.0");
  EXPECT_EQ(bundle.assets_json(), velmora::test::read_file(dir / "assets.json"));
  EXPECT_EQ(bundle.tensor_file_size(), fs::file_size(dir / "tensors.bin"));
  EXPECT_EQ(bundle.tensor_names(),
            (std::vector<std::string>{"embedding.weight", "ids", "half", "brain", "mask", "scale",
                                      "bytes", "pairs", "empty", "wide"}));

  const velmora::TensorDescriptor& ids = bundle.tensor("ids");
  EXPECT_EQ(ids.dtype, "int64");
  EXPECT_EQ(ids.shape, std::vector<std::int64_t>{3});
  EXPECT_EQ(ids.nbytes, 24u);
  EXPECT_EQ(ids.offset % 64, 0u);
  std::int64_t values[3];
  std::memcpy(values, bundle.tensor_data("ids"), sizeof values);
  EXPECT_EQ(values[0], 7);
  EXPECT_EQ(values[1], -1);
  EXPECT_EQ(values[2], std::int64_t{1} << 40);
  EXPECT_EQ(bundle.tensor_data("bytes") - bundle.tensor_data("embedding.weight"),
            static_cast<std::ptrdiff_t>(bundle.tensor("bytes").offset));
  EXPECT_TRUE(bundle.tensor("scale").shape.empty());

  EXPECT_EQ(ModelBundle(dir, false).checksums_verified(), false);

  for (auto lookup : {+[](const ModelBundle& b) { b.tensor("missing"); },
                      +[](const ModelBundle& b) { b.tensor_data("missing"); }}) {
    try {
      lookup(bundle);
      ADD_FAILURE() << "no error for a missing tensor";
    } catch (const ModelBundleError& error) {
      EXPECT_STREQ(error.what(), "tensor is not present in bundle: 'missing'");
    }
  }
}

TEST(ModelBundle, MapsReadOnlyAndReleasesEverything) {
  const fs::path dir = velmora::test::fixture("bundle/valid");
  const std::size_t before = open_descriptors();
  {
    ModelBundle bundle(dir, false);
    // The tensor file and both artifacts (one of them empty, so unmapped).
    EXPECT_EQ(open_descriptors(), before + 3);
    const std::string maps = velmora::test::read_file("/proc/self/maps");
    const std::string tensor_file = fs::canonical(dir / "tensors.bin").string();
    const auto at = maps.find(tensor_file);
    ASSERT_NE(at, std::string::npos) << tensor_file << " is not mapped";
    const std::size_t line_start = maps.rfind('\n', at) + 1;
    EXPECT_EQ(maps.substr(maps.find(' ', line_start) + 1, 4), "r--p");

    ModelBundle moved(std::move(bundle));
    EXPECT_EQ(moved.processor(), "lemma");
    EXPECT_THROW(bundle.processor(), ModelBundleError);
    EXPECT_EQ(open_descriptors(), before + 3);
  }
  EXPECT_EQ(open_descriptors(), before);
  // A failure after the files were mapped leaves nothing open either.
  EXPECT_EQ(open_error(case_dir("artifact_checksum"), true),
            "artifact checksum mismatch: 'extra/blob.bin'");
  EXPECT_EQ(open_descriptors(), before);
}

TEST(ModelBundle, AcceptsEdgeLayouts) {
  // Offsets 24 and 27 are fine at alignment 1.
  const ModelBundle packed(case_dir("alignment_1"), true);
  EXPECT_EQ(packed.tensor("beta").offset, 27u);

  const ModelBundle dotted(case_dir("dot_paths"), true);
  EXPECT_EQ(dotted.tensor_names().size(), 3u);

  const ModelBundle empty(case_dir("empty_tensor_file"), true);
  EXPECT_EQ(empty.tensor_file_size(), 0u);
  EXPECT_EQ(empty.tensor_data("none"), nullptr);

  const ModelBundle zero_first(case_dir("zero_before_huge"), false);
  EXPECT_EQ(zero_first.tensor("none").shape.size(), 3u);
}

TEST(ModelBundle, DirectoryMustExistAndMayBeALink) {
  velmora::test::TempDir temp;
  const fs::path absent = temp.path() / "absent";
  EXPECT_EQ(open_error(absent, false), "model bundle is not a directory: " + absent.string());
  const fs::path file = temp.path() / "file";
  std::ofstream(file) << "{}";
  EXPECT_EQ(open_error(file, false), "model bundle is not a directory: " + file.string());

  const fs::path link = temp.path() / "link";
  fs::create_directory_symlink(velmora::test::fixture("bundle/valid"), link);
  EXPECT_EQ(ModelBundle(link, true).path(), link);

  // A relative directory is made absolute against the current directory.
  const fs::path relative = fs::relative(link);
  ASSERT_TRUE(relative.is_relative());
  EXPECT_EQ(ModelBundle(relative, false).path(), fs::current_path() / relative);
}

// Devices would be read without end or mapped with no size, and a FIFO
// would block the open: every bundle file must be a regular one.
TEST(ModelBundle, RefusesFilesThatAreNotRegular) {
  velmora::test::TempDir temp;
  const fs::path dir = temp.path() / "bundle";
  fs::copy(velmora::test::fixture("bundle/valid"), dir, fs::copy_options::recursive);
  auto error_with = [&](const std::string& name, const std::function<void(const fs::path&)>& make) {
    const fs::path file = dir / name;
    fs::rename(file, temp.path() / "kept");
    make(file);
    const std::string message = open_error(dir, true);
    fs::remove(file);
    fs::rename(temp.path() / "kept", file);
    return message;
  };
  const auto null_device = [](const fs::path& file) { fs::create_symlink("/dev/null", file); };
  const auto fifo = [](const fs::path& file) { ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0); };
  const auto directory = [](const fs::path& file) { fs::create_directory(file); };
  const std::string not_regular = ": not a regular file";
  EXPECT_EQ(error_with("assets.json", null_device),
            "cannot read JSON file: " + (dir / "assets.json").string());
  EXPECT_EQ(error_with("manifest.json", fifo),
            "cannot read JSON file: " + (dir / "manifest.json").string());
  EXPECT_EQ(error_with("assets.json", directory),
            "cannot read JSON file: " + (dir / "assets.json").string());
  EXPECT_EQ(error_with("tensors.bin", null_device),
            "cannot map tensor file: " + (dir / "tensors.bin").string() + not_regular);
  EXPECT_EQ(error_with("notes.txt", fifo),
            "cannot map tensor file: " + (dir / "notes.txt").string() + not_regular);
  EXPECT_TRUE(ModelBundle(dir, true).checksums_verified());
}

TEST(ModelBundle, RefusesAPathHoldingNul) {
  velmora::test::TempDir temp;
  const fs::path dir = temp.path() / "bundle";
  fs::copy(velmora::test::fixture("bundle/valid"), dir, fs::copy_options::recursive);
  std::string manifest = velmora::test::read_file(dir / "manifest.json");
  const std::string path = "\"tensors.bin\"";
  ASSERT_NE(manifest.find(path), std::string::npos);
  manifest.replace(manifest.find(path), path.size(), "\"tensors.bin\\u0000\"");
  std::ofstream(dir / "manifest.json", std::ios::binary | std::ios::trunc) << manifest;
  EXPECT_EQ(open_error(dir, false),
            "bundle path must be non-empty and relative at manifest.tensor_file.path");
}

// A matching checksum says nothing about the values: a verified bundle must
// not serve a NaN or an infinity in any floating dtype, whatever its width.
TEST(ModelBundle, VerificationRefusesNonFiniteFloats) {
  struct Poison {
    std::string tensor;
    std::size_t at; // byte offset within the tensor
    std::vector<unsigned char> bytes;
  };
  const std::vector<Poison> poisons = {
      {"embedding.weight", 56, {0x00, 0x00, 0xC0, 0x7F}}, // NaN, the last element
      {"half", 2, {0x00, 0x7C}},                          // +infinity
      {"brain", 4, {0x80, 0xFF}},                         // -infinity
      {"scale", 0, {0, 0, 0, 0, 0, 0, 0xF8, 0x7F}},       // NaN
      {"pairs", 4, {0x01, 0x00, 0x80, 0x7F}},             // NaN imaginary part
  };
  const fs::path valid = velmora::test::fixture("bundle/valid");
  const ModelBundle original(valid, false);
  for (const Poison& poison : poisons) {
    SCOPED_TRACE(poison.tensor);
    velmora::test::TempDir temp;
    const fs::path dir = temp.path() / "bundle";
    fs::copy(valid, dir, fs::copy_options::recursive);
    std::string data = velmora::test::read_file(dir / "tensors.bin");
    const velmora::TensorDescriptor& tensor = original.tensor(poison.tensor);
    std::memcpy(data.data() + tensor.offset + poison.at, poison.bytes.data(), poison.bytes.size());
    std::ofstream(dir / "tensors.bin", std::ios::binary | std::ios::trunc) << data;
    // Checksums that match the poisoned bytes.
    std::string manifest = velmora::test::read_file(dir / "manifest.json");
    const auto digest = [&](std::size_t offset, std::size_t size) {
      return velmora::detail::sha256_hex(reinterpret_cast<const std::byte*>(data.data()) + offset,
                                         size);
    };
    const auto swap = [&](const std::string& from, const std::string& to) {
      ASSERT_NE(manifest.find(from), std::string::npos);
      manifest.replace(manifest.find(from), from.size(), to);
    };
    swap(tensor.sha256, digest(tensor.offset, tensor.nbytes));
    swap(velmora::detail::sha256_hex(reinterpret_cast<const std::byte*>(
                                         velmora::test::read_file(valid / "tensors.bin").data()),
                                     data.size()),
         digest(0, data.size()));
    std::ofstream(dir / "manifest.json", std::ios::binary | std::ios::trunc) << manifest;

    EXPECT_EQ(open_error(dir, true), "tensor holds a non-finite value: '" + poison.tensor + "'");
    EXPECT_FALSE(ModelBundle(dir, false).checksums_verified());
  }
}

} // namespace
