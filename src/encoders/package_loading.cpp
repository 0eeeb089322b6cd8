#include "encoders/package_loading.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include <ATen/Parallel.h>
#include <torch/csrc/inductor/aoti_package/model_package_loader.h>

#include <velmora/errors.hpp>

#include "bundle/bundle_artifact.hpp"
#include "bundle/regular_file.hpp"
#include "bundle/sha256.hpp"
#include "encoders/kept_libraries.hpp"
#include "encoders/library_stack.hpp"
#include "encoders/package_archive.hpp"
#include "encoders/package_weights_release.hpp"

namespace velmora::detail {
namespace {

namespace fs = std::filesystem;
using Loader = torch::inductor::AOTIModelPackageLoader;

constexpr std::size_t kChunk = std::size_t{1} << 20;
// A package directory holds a few files; the walk that judges its libraries
// stops well before a directory tree of any size.
constexpr std::size_t kMaxDirectoryFiles = 10000;

[[noreturn]] void fail_with_errno(const std::string& what) {
  throw TransformerError(what + ": " + std::strerror(errno));
}

class Descriptor {
public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) {
      ::close(fd_);
    }
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

private:
  int fd_;
};

bool is_library(const std::string& name) {
  return fs::path(name).extension() == ".so";
}

void judge_library(int fd, const std::string& name) {
  switch (library_stack_request(fd)) {
  case StackRequest::non_executable:
    return;
  case StackRequest::executable:
    throw TransformerError("package library '" + name + "' requires an executable stack");
  case StackRequest::not_a_library:
    break;
  }
  throw TransformerError("package library '" + name + "' is not a 64-bit ELF file");
}

std::size_t read_some(int fd, unsigned char* out, std::size_t count, std::uint64_t offset) {
  while (true) {
    const ssize_t got = ::pread(fd, out, count, static_cast<off_t>(offset));
    if (got > 0) {
      return static_cast<std::size_t>(got);
    }
    if (got == 0) {
      throw TransformerError("the package file ends early");
    }
    if (errno != EINTR) {
      fail_with_errno("cannot read the package file");
    }
  }
}

void write_all(int fd, const unsigned char* data, std::size_t count) {
  while (count > 0) {
    const ssize_t put = ::write(fd, data, count);
    if (put < 0 && errno == EINTR) {
      continue;
    }
    if (put < 0) {
      fail_with_errno("cannot unpack the package");
    }
    data += put;
    count -= static_cast<std::size_t>(put);
  }
}

std::string digest_of(int fd, std::uint64_t offset, std::uint64_t size) {
  std::vector<unsigned char> buffer(
      static_cast<std::size_t>(std::min<std::uint64_t>(size, kChunk)));
  Sha256 hash;
  for (std::uint64_t done = 0; done < size;) {
    const std::size_t got =
        read_some(fd, buffer.data(),
                  static_cast<std::size_t>(std::min<std::uint64_t>(size - done, buffer.size())),
                  offset + done);
    hash.update(reinterpret_cast<const std::byte*>(buffer.data()), got);
    done += got;
  }
  return hash.finish_hex();
}

// Copies [offset, offset + size) of `in` to the end of `out`, inside the
// kernel where the file systems allow it.
void copy_range(int in, std::uint64_t offset, std::uint64_t size, int out) {
  auto position = static_cast<loff_t>(offset);
  std::uint64_t left = size;
  while (left > 0) {
    const ssize_t copied =
        ::copy_file_range(in, &position, out, nullptr,
                          static_cast<std::size_t>(std::min<std::uint64_t>(left, 1u << 30)), 0);
    if (copied > 0) {
      left -= static_cast<std::uint64_t>(copied);
      continue;
    }
    if (copied == 0) {
      throw TransformerError("the package file ends early");
    }
    if (errno == EINTR) {
      continue;
    }
    if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) {
      fail_with_errno("cannot unpack the package");
    }
    // Not between these file systems: through a buffer.
    std::vector<unsigned char> buffer(
        static_cast<std::size_t>(std::min<std::uint64_t>(left, kChunk)));
    auto at = static_cast<std::uint64_t>(position);
    while (left > 0) {
      const std::size_t got =
          read_some(in, buffer.data(),
                    static_cast<std::size_t>(std::min<std::uint64_t>(left, buffer.size())), at);
      write_all(out, buffer.data(), got);
      at += got;
      left -= got;
    }
  }
}

int create_file(const fs::path& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    fail_with_errno("cannot unpack the package");
  }
  return fd;
}

struct UnpackedLibrary {
  std::string digest;
  fs::path file;
};

// Unpacks the archive open as `fd` into `directory`. A library kept from an
// earlier load of the same bytes is linked, not copied; the libraries
// copied are returned, to be kept once the package has loaded.
std::vector<UnpackedLibrary> unpack(int fd, std::uint64_t size, const fs::path& directory) {
  std::vector<UnpackedLibrary> copied;
  for (const PackageEntry& entry : read_package_entries(fd, size)) {
    const fs::path target = directory / entry.name;
    fs::create_directories(target.parent_path());
    if (!is_library(entry.name)) {
      const Descriptor out(create_file(target));
      copy_range(fd, entry.offset, entry.size, out.get());
      continue;
    }
    std::string digest = digest_of(fd, entry.offset, entry.size);
    const int kept = kept_library(digest);
    const std::string kept_path = "/proc/self/fd/" + std::to_string(kept);
    if (kept >= 0 && ::access(kept_path.c_str(), R_OK) == 0 &&
        ::symlink(kept_path.c_str(), target.c_str()) == 0) {
      judge_library(kept, entry.name);
      continue;
    }
    const Descriptor out(create_file(target));
    copy_range(fd, entry.offset, entry.size, out.get());
    judge_library(out.get(), entry.name);
    copied.push_back({std::move(digest), target});
  }
  return copied;
}

std::unique_ptr<Loader> load_directory(const fs::path& directory) {
  const PackageWeightsRelease release;
  // One runner per thread of the team, so that a call's units (sentences,
  // windows, documents) run the package at once instead of queueing for one
  // runner; the runners share the package's weights.
  const auto runners = static_cast<std::size_t>(std::max(1, at::get_num_threads()));
  return std::make_unique<Loader>(directory.string(), "model", /*run_single_threaded=*/false,
                                  runners, /*device_index=*/-1);
}

void judge_directory_libraries(const fs::path& directory) {
  std::size_t seen = 0;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(directory)) {
    if (++seen > kMaxDirectoryFiles) {
      throw TransformerError("the package directory holds too many files");
    }
    if (!is_library(entry.path().filename().string()) || !entry.is_regular_file()) {
      continue;
    }
    const Descriptor library(::open(entry.path().c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (library.get() < 0) {
      fail_with_errno("cannot open package library '" + entry.path().string() + "'");
    }
    judge_library(library.get(), entry.path().lexically_relative(directory).string());
  }
}

} // namespace

// A fresh directory that only this user may enter, removed with everything
// in it.
class ScratchDirectory {
public:
  ScratchDirectory() {
    std::string pattern = (fs::temp_directory_path() / "velmora-package-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      fail_with_errno("cannot create a directory to unpack the package");
    }
    path_ = pattern;
  }
  ~ScratchDirectory() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;
  const fs::path& path() const { return path_; }

private:
  fs::path path_;
};

LoadedPackage::LoadedPackage() = default;
LoadedPackage::LoadedPackage(LoadedPackage&&) noexcept = default;
LoadedPackage& LoadedPackage::operator=(LoadedPackage&&) noexcept = default;
LoadedPackage::~LoadedPackage() = default;

namespace {

LoadedPackage load_archive(int fd, const FileIdentity& opened) {
  LoadedPackage package;
  package.files = std::make_unique<ScratchDirectory>();
  const fs::path& directory = package.files->path();
  const std::vector<UnpackedLibrary> copied = unpack(fd, opened.size, directory);
  // What was unpacked is what was opened (and hashed) only if the file has
  // not been written since.
  const std::optional<FileIdentity> now = file_identity(fd);
  if (!now || *now != opened) {
    throw TransformerError("the package file changed after it was opened");
  }
  package.loader = load_directory(directory);
  for (const UnpackedLibrary& library : copied) {
    keep_library(library.digest, library.file);
  }
  return package;
}

} // namespace

LoadedPackage load_package(const fs::path& path) {
  std::error_code error;
  if (fs::is_directory(path, error)) {
    judge_directory_libraries(path);
    LoadedPackage package;
    package.loader = load_directory(path);
    return package;
  }
  const RegularFile file = open_regular_file(path);
  if (file.failure == RegularFile::Failure::not_regular) {
    throw TransformerError("the package is not a regular file");
  }
  if (file.failure != RegularFile::Failure::none) {
    errno = file.error;
    fail_with_errno("cannot open the package file");
  }
  const Descriptor owned(file.fd);
  return load_archive(file.fd, file.identity);
}

LoadedPackage load_package(const BundleArtifact& artifact) {
  return load_archive(artifact.file->fd, artifact.file->identity);
}

} // namespace velmora::detail
