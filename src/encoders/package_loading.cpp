#include "encoders/package_loading.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <tuple>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ATen/Parallel.h>
#include <torch/csrc/inductor/aoti_package/model_package_loader.h>

#include <velmora/errors.hpp>

#include "bundle/bundle_artifact.hpp"
#include "bundle/regular_file.hpp"
#include "bundle/sha256.hpp"
#include "bundle/tensor_errors.hpp"
#include "encoders/kept_libraries.hpp"
#include "encoders/package_archive.hpp"
#include "encoders/package_file.hpp"
#include "encoders/package_judge.hpp"
#include "encoders/package_weights_release.hpp"

namespace velmora::detail {
namespace {

namespace fs = std::filesystem;
using Loader = torch::inductor::AOTIModelPackageLoader;

// Small enough that a chunk is still in the core's cache when it is hashed
// or written after its read.
constexpr std::size_t kChunk = std::size_t{64} << 10;
// A package directory holds a few files; the walk that judges it stops well
// before a directory tree of any size.
constexpr std::size_t kMaxDirectoryEntries = 10000;
// Where the runtime looks for the model it loads under the name "model",
// inside the directory it is given.
constexpr std::array<const char*, 3> kModelDirectory = {"data", "aotinductor", "model"};

[[noreturn]] void fail_with_errno(const std::string& what) {
  throw TransformerError(what + ": " + std::strerror(errno));
}

// A failure on the temporary directory's side (a full file system, say)
// names that directory: the package itself is not at fault.
[[noreturn]] void cannot_unpack_into(const fs::path& temporary) {
  fail_with_errno("cannot unpack the package into " + temporary.string());
}

[[noreturn]] void package_changed() {
  throw TransformerError("the package file changed after it was opened");
}

// Writes to `fd`, a copy in the directory `temporary`.
void write_all(int fd, const unsigned char* data, std::size_t count, const fs::path& temporary) {
  while (count > 0) {
    const ssize_t put = ::write(fd, data, count);
    if (put < 0 && errno == EINTR) {
      continue;
    }
    if (put < 0) {
      cannot_unpack_into(temporary);
    }
    data += put;
    count -= static_cast<std::size_t>(put);
  }
}

// Reads [begin, end) of `in` once, chunk by chunk, and hands each chunk to
// take(offset of its first byte, bytes, count).
template <class Take>
void read_chunks(int in, std::uint64_t begin, std::uint64_t end, Take&& take) {
  std::vector<unsigned char> buffer(
      static_cast<std::size_t>(std::min<std::uint64_t>(end - begin, kChunk)));
  for (std::uint64_t at = begin; at < end;) {
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(end - at, buffer.size()));
    const ssize_t got = read_fully(in, buffer.data(), want, at);
    if (got < 0) {
      fail_with_errno("cannot read the package file");
    }
    if (static_cast<std::size_t>(got) < want) {
      throw TransformerError("the package file ends early");
    }
    take(at, buffer.data(), want);
    at += want;
  }
}

// Copies [offset, offset + size) of `in` to the end of `out`, a copy in the
// directory `temporary`, inside the kernel where the file systems allow it.
void copy_range(int in, std::uint64_t offset, std::uint64_t size, int out,
                const fs::path& temporary) {
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
    // Not between these file systems, or failed: through a buffer. A
    // failure is met again there, where the read and the write tell which
    // side it is on (the package file, or the temporary directory).
    const auto at = static_cast<std::uint64_t>(position);
    read_chunks(in, at, at + left,
                [&](std::uint64_t, const unsigned char* data, std::size_t count) {
                  write_all(out, data, count, temporary);
                });
    return;
  }
}

// A file without a name in `directory`, open for reading and writing:
// nothing of it is left once its last descriptor and mapping go, however
// the process ends.
Descriptor nameless_file(const fs::path& directory) {
  Descriptor file(::open(directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
  if (file.get() >= 0) {
    return file;
  }
  if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
    cannot_unpack_into(directory);
  }
  // A file system without such files: a fresh file whose name goes at once.
  std::string pattern = (directory / "velmora-package-XXXXXX").string();
  file = Descriptor(::mkostemp(pattern.data(), O_CLOEXEC));
  if (file.get() < 0) {
    cannot_unpack_into(directory);
  }
  ::unlink(pattern.c_str());
  return file;
}

// Closes the last descriptors of the copies the runtime has read on a
// thread of its own: that frees their blocks and cached pages (about a
// quarter of a second for a gigabyte and more, and a journal transaction
// of the file system for each), which the load need not wait for.
void free_in_background(std::array<Descriptor, 3> copies) {
  try {
    std::thread([owned = std::move(copies)] {}).detach();
  } catch (const std::system_error&) {
    // Without a thread the copies are freed here.
  }
}

// The directory the runtime loads a package from, which only this user may
// enter: in its model directory, under the members' names, links to files
// this process holds open, which only this process can follow. It holds
// nothing else, and is removed as soon as the runtime no longer opens it.
class ScratchDirectory {
public:
  explicit ScratchDirectory(const fs::path& temporary) : temporary_(temporary) {
    std::string pattern = (temporary / "velmora-package-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      fail_with_errno("cannot create a directory to unpack the package in " + temporary.string());
    }
    path_ = pattern;
    model_ = path_;
    for (const char* element : kModelDirectory) {
      if (::mkdir((model_ / element).c_str(), 0700) != 0) {
        const int error = errno;
        remove(); // no destructor runs for an object never made
        errno = error;
        cannot_unpack_into(temporary_);
      }
      model_ /= element;
    }
  }
  ~ScratchDirectory() { remove(); }
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;
  const fs::path& path() const { return path_; }

  // Links `name` in the model directory to the file open as `fd`.
  void link(const std::string& name, int fd) {
    const std::string target = "/proc/self/fd/" + std::to_string(fd);
    links_.push_back(model_ / name);
    if (::symlink(target.c_str(), links_.back().c_str()) != 0) {
      links_.pop_back();
      cannot_unpack_into(temporary_);
    }
  }

  // Removes the directory, once, from any thread: what it made, entry by
  // entry, and the whole tree only should something else be in it.
  void remove() noexcept {
    if (removed_.exchange(true)) {
      return;
    }
    bool emptied = true;
    for (const fs::path& link : links_) {
      emptied = ::unlink(link.c_str()) == 0 && emptied;
    }
    for (fs::path directory = model_; emptied && directory != path_.parent_path();
         directory = directory.parent_path()) {
      emptied = ::rmdir(directory.c_str()) == 0;
    }
    if (!emptied) {
      std::error_code ignored;
      fs::remove_all(path_, ignored);
    }
  }

private:
  fs::path temporary_; // where it is made
  fs::path path_;
  fs::path model_; // the deepest directory made so far
  std::vector<fs::path> links_;
  std::atomic<bool> removed_{false};
};

} // namespace

LoadedPackage::LoadedPackage() = default;
LoadedPackage::LoadedPackage(LoadedPackage&&) noexcept = default;
LoadedPackage& LoadedPackage::operator=(LoadedPackage&&) noexcept = default;
LoadedPackage::~LoadedPackage() = default;

namespace {

// A member of the archive and its private copy, in the order library,
// metadata, weights.
struct Unpacked {
  std::string name;
  std::uint64_t offset = 0;
  std::uint64_t size = 0;
  Descriptor file;

  FileRange copy() const { return {file.get(), 0, size}; }
};
using Members = std::array<Unpacked, 3>;

// Copies the members into their private files in `temporary`: the library
// through a buffer, hashing it on the way (unless `hash_library` is false),
// the others inside the kernel where the file systems allow it.
void unpack(int fd, Members& members, const fs::path& temporary, Sha256& library_hash,
            bool hash_library) {
  const Unpacked& library = members[0];
  if (!hash_library) {
    copy_range(fd, library.offset, library.size, library.file.get(), temporary);
  } else {
    read_chunks(fd, library.offset, library.offset + library.size,
                [&](std::uint64_t, const unsigned char* data, std::size_t count) {
                  library_hash.update(reinterpret_cast<const std::byte*>(data), count);
                  write_all(library.file.get(), data, count, temporary);
                });
  }
  for (std::size_t i = 1; i < members.size(); ++i) {
    copy_range(fd, members[i].offset, members[i].size, members[i].file.get(), temporary);
  }
}

// With verification: the archive must hash to the manifest's digest when
// each member's bytes are read from its private copy, which nobody else can
// write, and the rest from the archive. Then the copies hold what was
// hashed, whatever was written to the archive meanwhile. The member list was
// made from earlier reads of the archive: each of those bytes must read the
// same here, so that the list is the hashed file's too. (The reader refuses
// members that overlap: in this order each byte is taken once.)
void verify_unpacked(int fd, std::uint64_t size, Members& members,
                     const std::vector<ArchiveRead>& reads, const std::string& digest,
                     Sha256& library_hash) {
  std::array<const Unpacked*, 3> order = {&members[0], &members[1], &members[2]};
  std::sort(order.begin(), order.end(), [](const Unpacked* a, const Unpacked* b) {
    return std::tie(a->offset, a->size) < std::tie(b->offset, b->size);
  });
  Sha256 whole;
  bool same = true;
  // Takes the archive's bytes at `at`, wherever they were read from.
  const auto take = [&](std::uint64_t at, const unsigned char* data, std::size_t count) {
    whole.update(reinterpret_cast<const std::byte*>(data), count);
    for (const ArchiveRead& read : reads) {
      const std::uint64_t first = std::max(at, read.offset);
      const std::uint64_t last = std::min(at + count, read.offset + read.bytes.size());
      same = same && (first >= last ||
                      std::memcmp(data + (first - at), read.bytes.data() + (first - read.offset),
                                  last - first) == 0);
    }
  };
  std::uint64_t at = 0;
  for (const Unpacked* member : order) {
    read_chunks(fd, at, member->offset, take);
    read_chunks(member->file.get(), 0, member->size,
                [&](std::uint64_t within, const unsigned char* data, std::size_t count) {
                  take(member->offset + within, data, count);
                  if (member == &members[0]) {
                    library_hash.update(reinterpret_cast<const std::byte*>(data), count);
                  }
                });
    at = member->offset + member->size;
  }
  read_chunks(fd, at, size, take);
  if (!same || whole.finish_hex() != digest) {
    package_changed();
  }
}

// One runner per thread of the team, so that a call's units (sentences,
// windows, documents) run the package at once instead of queueing for one
// runner; the runners share the package's weights. (The first call starts
// the team.)
std::size_t runner_count() {
  return static_cast<std::size_t>(std::max(1, at::get_num_threads()));
}

// The runtime over a judged directory. What it raises is its own text (and
// may name the private directory): the caller learns which library failed.
std::unique_ptr<Loader> run_loader(const fs::path& directory, const std::string& library,
                                   std::size_t runners) {
  try {
    return std::make_unique<Loader>(directory.string(), "model", /*run_single_threaded=*/false,
                                    runners, /*device_index=*/-1);
  } catch (const std::exception& error) {
    rethrow_allocation_failure(error);
    throw TransformerError("package library '" + library + "' could not be loaded");
  } catch (...) {
    throw TransformerError("package library '" + library + "' could not be loaded");
  }
}

// The members are unpacked into files without names, so that nothing of a
// package is left on disk once it is loaded, or when the process is killed
// at any moment. The runtime opens them by path only while it is
// constructed, and in this order: it lists the directory, reads the
// metadata, has the dynamic loader map the library, then maps the weights
// (and copies them, the bulk of a load, and unmaps them); it opens nothing
// by path afterwards, not when it runs nor in a forked child. So it is
// handed a directory of links to them, removed as soon as the weights are
// seen mapped (a runtime that opened something later would fail to load,
// not load something else), and at the latest when the runtime returns.
LoadedPackage load_archive(int fd, const FileIdentity& opened, const std::string* digest) {
  std::vector<ArchiveRead> reads;
  const std::vector<PackageEntry> entries =
      read_package_entries(fd, opened.size, digest != nullptr ? &reads : nullptr);
  std::vector<std::string> names;
  names.reserve(entries.size());
  for (const PackageEntry& entry : entries) {
    names.push_back(entry.name);
  }
  const PrebuiltMembers chosen = judge_package_members(names);

  std::error_code error;
  const fs::path temporary = fs::temp_directory_path(error);
  if (error) {
    throw TransformerError("cannot find a directory to unpack the package in");
  }
  Members members;
  const std::array<std::size_t, 3> order = {chosen.library, chosen.metadata, chosen.weights};
  for (std::size_t i = 0; i < members.size(); ++i) {
    const PackageEntry& entry = entries[order[i]];
    members[i].name = entry.name;
    members[i].offset = entry.offset;
    members[i].size = entry.size;
    members[i].file = nameless_file(temporary);
  }
  Sha256 library_hash;
  unpack(fd, members, temporary, library_hash, /*hash_library=*/digest == nullptr);
  if (digest != nullptr) {
    verify_unpacked(fd, opened.size, members, reads, *digest, library_hash);
  }
  // Judged from the private copies, which nobody else can write.
  judge_prebuilt_package(names, chosen, members[0].copy(), members[1].copy(), members[2].copy());
  // What was unpacked is what was opened only if the file has not been
  // written since.
  const std::optional<FileIdentity> now = file_identity(fd);
  if (!now || *now != opened) {
    package_changed();
  }
  // A library with these bytes loaded before is handed over as the file the
  // dynamic loader has mapped already.
  const std::string library_digest = library_hash.finish_hex();
  const int kept = kept_library(library_digest);
  const std::size_t runners = runner_count(); // before the directory: it may take a while
  LoadedPackage package;
  {
    ScratchDirectory directory(temporary);
    for (std::size_t i = 0; i < members.size(); ++i) {
      directory.link(fs::path(members[i].name).filename().string(),
                     i == 0 && kept >= 0 ? kept : members[i].file.get());
    }
    // Ends (joining its thread) before the directory's destructor runs.
    const PackageWeightsRelease release(members[2].file.get(), [&] { directory.remove(); });
    package.loader = run_loader(directory.path(), members[0].name, runners);
  }
  if (kept < 0) {
    keep_library(library_digest, members[0].file.get());
  }
  free_in_background(
      {std::move(members[0].file), std::move(members[1].file), std::move(members[2].file)});
  return package;
}

// A package directory of the caller's, loaded in place once judged.
LoadedPackage load_directory(const fs::path& path) {
  std::vector<std::string> names;
  std::error_code error;
  std::size_t seen = 0;
  for (fs::recursive_directory_iterator entry(path, error), end; !error && entry != end;
       entry.increment(error)) {
    if (++seen > kMaxDirectoryEntries) {
      throw TransformerError("the package directory holds too many files");
    }
    std::error_code ignored;
    if (!entry->is_directory(ignored)) {
      names.push_back(entry->path().lexically_relative(path).generic_string());
    }
  }
  if (error) {
    throw TransformerError("the package directory cannot be read");
  }
  const PrebuiltMembers chosen = judge_package_members(names);
  std::array<Descriptor, 3> files;
  std::array<FileRange, 3> ranges;
  const std::array<std::size_t, 3> order = {chosen.library, chosen.metadata, chosen.weights};
  for (std::size_t i = 0; i < order.size(); ++i) {
    const RegularFile file = open_regular_file(path / names[order[i]]);
    if (file.failure != RegularFile::Failure::none) {
      throw TransformerError("package member '" + names[order[i]] + "' cannot be opened");
    }
    files[i] = Descriptor(file.fd);
    ranges[i] = {file.fd, 0, file.size};
  }
  judge_prebuilt_package(names, chosen, ranges[0], ranges[1], ranges[2]);
  const PackageWeightsRelease release(files[2].get());
  LoadedPackage package;
  package.loader = run_loader(path, names[chosen.library], runner_count());
  return package;
}

} // namespace

LoadedPackage load_package(const fs::path& path) {
  std::error_code error;
  if (fs::is_directory(path, error)) {
    return load_directory(path);
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
  return load_archive(file.fd, file.identity, nullptr);
}

LoadedPackage load_package(const BundleArtifact& artifact, bool verified) {
  try {
    return load_archive(artifact.file->fd, artifact.file->identity,
                        verified ? &artifact.sha256 : nullptr);
  } catch (...) {
    // An artifact that opening its bundle did not hash is hashed only by the
    // unpacking above. When that fails for any reason, a file that differs
    // from the manifest is reported as the bundle would have reported it:
    // what is wrong is then the file, not the package in it.
    if (verified && !artifact.hashed &&
        sha256_hex(artifact.file->data, artifact.file->size) != artifact.sha256) {
      artifact_checksum_mismatch(artifact);
    }
    throw;
  }
}

} // namespace velmora::detail
