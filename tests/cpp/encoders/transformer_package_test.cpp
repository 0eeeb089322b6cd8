// Which file a bundle's transformer runs: only an artifact its manifest
// lists, and only the bytes the bundle opened (and hashed).

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <random>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <velmora/errors.hpp>

#include "encoders/native_transformer.hpp"
#include "encoders/package_archive.hpp"
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

// A writer that rewrites the weights of a verified package in place and puts
// its modification time back, over and over, while the bundle's transformer
// is loaded again and again: every load either refuses the package or runs
// the bytes the manifest lists.
TEST(TransformerPackage, AVerifiedLoadRunsOnlyHashedBytes) {
  const vt::TempDir dir;
  const fs::path bundle_dir = copy_bundle(dir, [](std::string&) {});
  const fs::path package = bundle_dir / "tiny.pt2";
  const auto bundle = std::make_shared<ModelBundle>(bundle_dir, true);

  const int fd = ::open(package.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  struct stat status {};
  ASSERT_EQ(::fstat(fd, &status), 0);
  std::string weights;
  std::uint64_t at = 0;
  for (const auto& entry : velmora::detail::read_package_entries(fd, status.st_size)) {
    if (entry.name.ends_with("_weights.blob")) {
      at = entry.offset;
      weights = vt::read_file(package).substr(entry.offset, entry.size);
    }
  }
  ASSERT_FALSE(weights.empty());
  // Every float's exponent changed: the encoder's rows are far off.
  std::string changed = weights;
  for (std::size_t i = 3; i < changed.size(); i += 4) {
    changed[i] = static_cast<char>(changed[i] ^ 0x40);
  }
  const struct timespec times[2] = {status.st_atim, status.st_mtim};

  std::atomic<bool> done{false};
  std::thread writer([&] {
    std::minstd_rand pause(7);
    while (!done.load()) {
      for (const std::string* bytes : {&changed, &weights}) {
        EXPECT_EQ(::pwrite(fd, bytes->data(), bytes->size(), static_cast<off_t>(at)),
                  static_cast<ssize_t>(bytes->size()));
        ::futimens(fd, times);
        std::this_thread::sleep_for(std::chrono::microseconds(pause() % 3000));
      }
    }
  });
  int refused = 0;
  int unhashed = 0;
  for (int load = 0; load < 200; ++load) {
    try {
      const NativeTransformer encoder(bundle, vt::transformer_assets("wordpiece"));
      unhashed += runs_like_the_reference(encoder).empty() ? 0 : 1;
    } catch (const TransformerError& error) {
      EXPECT_EQ(std::string(error.what()), "could not load AOTInductor transformer '" +
                                               package.string() +
                                               "': the package file changed after it was opened");
      ++refused;
    }
  }
  done = true;
  writer.join();
  ::close(fd);
  RecordProperty("refused", refused);
  EXPECT_EQ(unhashed, 0) << refused << " of 200 loads refused";
}

} // namespace
