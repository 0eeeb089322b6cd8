// Which file a bundle's transformer runs: only an artifact its manifest
// lists, and only the bytes the bundle opened (and hashed).

#include <chrono>
#include <fstream>
#include <functional>

#include <fcntl.h>
#include <unistd.h>

#include <velmora/errors.hpp>

#include "encoders/native_transformer.hpp"
#include "transformer_test_support.hpp"

namespace {

namespace fs = std::filesystem;
using velmora::ModelBundle;
using velmora::TransformerError;
using velmora::detail::NativeTransformer;
namespace vt = velmora::test;

// A copy of the WordPiece bundle whose manifest is `edit` applied to the
// original's text.
fs::path copy_bundle(const vt::TempDir& dir, const std::function<void(std::string&)>& edit) {
  const fs::path source = vt::transformer_bundle("wordpiece");
  const fs::path target = dir.path() / "bundle";
  fs::create_directory(target);
  for (const char* file : {"assets.json", "tensors.bin", "tiny.pt2"}) {
    fs::copy_file(source / file, target / file);
  }
  std::string manifest = vt::read_file(source / "manifest.json");
  edit(manifest);
  std::ofstream(target / "manifest.json") << manifest;
  return target;
}

void replace(std::string& text, const std::string& from, const std::string& to) {
  const std::size_t at = text.find(from);
  ASSERT_NE(at, std::string::npos) << from;
  text.replace(at, from.size(), to);
}

std::string load_failure(const fs::path& bundle_dir, bool verify) {
  const auto bundle = std::make_shared<ModelBundle>(bundle_dir, verify);
  EXPECT_EQ(bundle->checksums_verified(), verify);
  return vt::message_of<TransformerError>(
      [&] { NativeTransformer(bundle, vt::transformer_assets("wordpiece")); });
}

// Empty when the encoder gives the reference rows of the first word case.
std::string runs_like_the_reference(const NativeTransformer& encoder) {
  const velmora::detail::JsonValue& c = vt::transformer_reference().at("word_cases").as_array()[0];
  return vt::compare_rows(
      encoder.encode(vt::strings_of(c.at("words")), c.at("keep_endpoints").as_bool()),
      c.at("rows"));
}

TEST(TransformerPackage, RunsOnlyAnArtifactTheManifestLists) {
  const std::string unlisted =
      "transformer artifact is not listed in the bundle manifest: 'tiny.pt2'";
  {
    // No artifacts at all: the bundle opens (and verifies) without the
    // package, which then is nobody's code.
    const vt::TempDir dir;
    const fs::path bundle = copy_bundle(dir, [](std::string& manifest) {
      const std::size_t start = manifest.find("\"artifacts\"");
      manifest.erase(start, manifest.find("\"assets\"") - start);
    });
    for (bool verify : {false, true}) {
      EXPECT_EQ(load_failure(bundle, verify), unlisted) << verify;
    }
  }
  {
    // The manifest lists (and hashes) another file than the assets name.
    const vt::TempDir dir;
    const fs::path bundle = copy_bundle(dir, [](std::string& manifest) {
      replace(manifest, "\"path\": \"tiny.pt2\"", "\"path\": \"other.pt2\"");
    });
    fs::copy_file(bundle / "tiny.pt2", bundle / "other.pt2");
    for (bool verify : {false, true}) {
      EXPECT_EQ(load_failure(bundle, verify), unlisted) << verify;
    }
  }
  // The same name written another way is the same artifact.
  const vt::TempDir dir;
  const fs::path bundle = copy_bundle(dir, [](std::string& manifest) {
    replace(manifest, "\"path\": \"tiny.pt2\"", "\"path\": \"./tiny.pt2\"");
  });
  const NativeTransformer encoder(std::make_shared<ModelBundle>(bundle, true),
                                  vt::transformer_assets("wordpiece"));
  EXPECT_EQ(runs_like_the_reference(encoder), "");
}

TEST(TransformerPackage, LoadsTheBytesTheBundleHashed) {
  const vt::TempDir dir;
  const fs::path bundle_dir = copy_bundle(dir, [](std::string&) {});
  const fs::path package = bundle_dir / "tiny.pt2";
  // Long ago, so that a write now shows in the modification time whatever
  // the clock's granularity.
  fs::last_write_time(package, fs::file_time_type::clock::now() - std::chrono::hours(24));

  // Another file moved to the package's name after hashing is not run: the
  // encoder still runs the verified package.
  auto bundle = std::make_shared<ModelBundle>(bundle_dir, true);
  const fs::path impostor = dir.path() / "impostor.pt2";
  std::ofstream(impostor) << "not the package that was hashed";
  fs::rename(impostor, package);
  {
    const NativeTransformer encoder(bundle, vt::transformer_assets("wordpiece"));
    EXPECT_EQ(runs_like_the_reference(encoder), "");
  }

  // The verified file rewritten in place (here with its own first byte) is
  // no longer known to hold what was hashed.
  bundle.reset();
  fs::remove(package);
  fs::copy_file(vt::transformer_bundle("wordpiece") / "tiny.pt2", package);
  fs::last_write_time(package, fs::file_time_type::clock::now() - std::chrono::hours(24));
  bundle = std::make_shared<ModelBundle>(bundle_dir, true);
  const int fd = ::open(package.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::pwrite(fd, "P", 1, 0), 1);
  ::close(fd);
  EXPECT_EQ(vt::message_of<TransformerError>(
                [&] { NativeTransformer(bundle, vt::transformer_assets("wordpiece")); }),
            "could not load AOTInductor transformer '" + package.string() +
                "': the package file changed after it was opened");
}

} // namespace
