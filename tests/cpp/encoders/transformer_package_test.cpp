// Which file a bundle's transformer runs: only an artifact its manifest
// lists, and only the bytes the bundle opened (and hashed); and what a load
// says when the temporary directory it unpacks into is full.

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <random>
#include <thread>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <velmora/errors.hpp>

#include "bundle/bundle_artifact.hpp"
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
// the bytes the manifest lists. The same holds for a plan's bundle, whose
// package is hashed only while it is unpacked.
TEST(TransformerPackage, AVerifiedLoadRunsOnlyHashedBytes) {
  const vt::TempDir dir;
  const fs::path bundle_dir = copy_bundle(dir, [](std::string&) {});
  const fs::path package = bundle_dir / "tiny.pt2";
  const std::string changed_file = "could not load AOTInductor transformer '" + package.string() +
                                   "': the package file changed after it was opened";

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
  const std::shared_ptr<ModelBundle> bundles[] = {
      std::make_shared<ModelBundle>(bundle_dir, true),
      velmora::detail::open_plan_bundle(bundle_dir, true)};

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
  for (int load = 0; load < 300; ++load) {
    // Two loads of the hashed bundle for one of the plan's.
    const bool plan_bundle = load % 3 == 2;
    try {
      const NativeTransformer encoder(bundles[plan_bundle ? 1 : 0],
                                      vt::transformer_assets("wordpiece"));
      unhashed += runs_like_the_reference(encoder).empty() ? 0 : 1;
    } catch (const TransformerError& error) {
      EXPECT_EQ(std::string(error.what()), changed_file);
      ++refused;
    } catch (const velmora::ModelBundleError& error) {
      // Only a file nobody hashed before can differ from its manifest here.
      EXPECT_TRUE(plan_bundle);
      EXPECT_EQ(std::string(error.what()), "artifact checksum mismatch: 'tiny.pt2'");
      ++refused;
    }
  }
  done = true;
  writer.join();
  ::close(fd);
  RecordProperty("refused", refused);
  EXPECT_EQ(unhashed, 0) << refused << " of 300 loads refused";
}

// Mounts at `where` a tmpfs with `options`, seen only by this process and
// those it starts: its mounts are made its own first (in a user namespace of
// its own when not root). False where that is not allowed.
bool mount_private_tmpfs(const fs::path& where, const std::string& options) {
  if (::geteuid() == 0) {
    if (::unshare(CLONE_NEWNS) != 0) {
      return false;
    }
  } else {
    const std::string uid = "0 " + std::to_string(::geteuid()) + " 1";
    const std::string gid = "0 " + std::to_string(::getegid()) + " 1";
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) {
      return false;
    }
    std::ofstream("/proc/self/setgroups") << "deny";
    std::ofstream("/proc/self/uid_map") << uid;
    std::ofstream("/proc/self/gid_map") << gid;
  }
  return ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
         ::mount("tmpfs", where.c_str(), "tmpfs", 0, options.c_str()) == 0;
}

// Whether a child process may mount one (it goes with the child).
bool can_mount_tmpfs(const fs::path& where) {
  const pid_t child = ::fork();
  if (child == 0) {
    ::_exit(mount_private_tmpfs(where, "size=4k") ? 0 : 1);
  }
  int status = 0;
  return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

// A temporary directory on a full file system, one without room for the
// package's bytes and one without an inode for the directory of links once
// the three copies have theirs: the load names that directory, not the
// package. Each case runs in a child, which mounts the tmpfs in a mount
// namespace of its own, so nothing of it outlives the child; the child
// starts as a new run of this test, which makes a folder of its own before
// the statement, and ends with _Exit, so it removes that folder itself.
TEST(TransformerPackageDeathTest, AFullTemporaryDirectoryIsNamed) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const vt::TempDir dir;
  const fs::path temporary = dir.path() / "tmp";
  fs::create_directory(temporary);
  if (!can_mount_tmpfs(temporary)) {
    GTEST_SKIP() << "no tmpfs can be mounted here (it needs root or user namespaces)";
  }
  const fs::path bundle = vt::transformer_bundle("wordpiece");
  const std::string prefix =
      "could not load AOTInductor transformer '" + (bundle / "tiny.pt2").string() + "': ";
  for (const auto& [options, cause] : std::initializer_list<std::pair<const char*, std::string>>{
           {"size=4k", "cannot unpack the package into " + temporary.string()},
           {"size=64m,nr_inodes=4",
            "cannot create a directory to unpack the package in " + temporary.string()}}) {
    const std::string expected = prefix + cause + ": No space left on device";
    for (bool verify : {false, true}) {
      EXPECT_EXIT(
          {
            int status = 2;
            if (mount_private_tmpfs(temporary, options) &&
                ::setenv("TMPDIR", temporary.c_str(), 1) == 0) {
              const std::string message = vt::message_of<TransformerError>([&] {
                NativeTransformer(std::make_shared<ModelBundle>(bundle, verify),
                                  vt::transformer_assets("wordpiece"));
              });
              std::fputs(message.c_str(), stderr);
              status = message == expected ? 0 : 1;
              ::umount2(temporary.c_str(), MNT_DETACH);
            }
            std::error_code ignored;
            fs::remove_all(dir.path(), ignored);
            std::_Exit(status);
          },
          ::testing::ExitedWithCode(0), "")
          << options << " verify=" << verify;
    }
  }
}

} // namespace
