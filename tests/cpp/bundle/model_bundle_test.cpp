#include <velmora/model_bundle.hpp>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <velmora/json.hpp>

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

} // namespace
