#include "encoders/package_archive.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <tuple>

#include <velmora/errors.hpp>

#include "encoders/package_file.hpp"

namespace velmora::detail {
namespace {

constexpr std::uint32_t kEndSignature = 0x06054b50;
constexpr std::uint32_t kLocator64Signature = 0x07064b50;
constexpr std::uint32_t kEnd64Signature = 0x06064b50;
constexpr std::uint32_t kCentralSignature = 0x02014b50;
constexpr std::uint32_t kLocalSignature = 0x04034b50;
constexpr std::uint64_t kEndSize = 22;
constexpr std::uint64_t kLocator64Size = 20;
constexpr std::uint64_t kEnd64Size = 56;
constexpr std::uint64_t kCentralSize = 46;
constexpr std::uint64_t kLocalSize = 30;
constexpr std::uint64_t kMaxComment = 0xFFFF;
constexpr std::uint16_t kZip64Extra = 0x0001;
// A package holds a handful of files; a directory far larger than that is
// refused before it is read into memory.
constexpr std::uint64_t kMaxDirectoryBytes = std::uint64_t{16} << 20;
constexpr std::uint64_t kMaxEntries = 65536;

[[noreturn]] void fail(const std::string& defect) {
  throw TransformerError("invalid model package archive: " + defect);
}

std::string quoted(std::string_view name) {
  return "'" + std::string(name) + "'";
}

std::uint16_t u16(const unsigned char* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::uint32_t u32(const unsigned char* p) {
  return static_cast<std::uint32_t>(u16(p)) | (static_cast<std::uint32_t>(u16(p + 2)) << 16);
}

std::uint64_t u64(const unsigned char* p) {
  return static_cast<std::uint64_t>(u32(p)) | (static_cast<std::uint64_t>(u32(p + 4)) << 32);
}

// Reads the archive file with pread, keeping a copy of each read when asked.
class ArchiveFile {
public:
  ArchiveFile(int fd, std::vector<ArchiveRead>* reads) : fd_(fd), reads_(reads) {}

  std::vector<unsigned char> read_at(std::uint64_t offset, std::uint64_t count) const {
    std::vector<unsigned char> bytes(count);
    const ssize_t got = read_fully(fd_, bytes.data(), bytes.size(), offset);
    if (got < 0) {
      fail(std::string("cannot read: ") + std::strerror(errno));
    }
    if (static_cast<std::uint64_t>(got) < count) {
      fail("the file ends early");
    }
    if (reads_ != nullptr) {
      reads_->push_back({offset, bytes});
    }
    return bytes;
  }

private:
  int fd_;
  std::vector<ArchiveRead>* reads_;
};

// Unpacking joins the name to a directory of its own, so it must stay in
// there: plain elements only.
bool plain_relative_name(std::string_view name) {
  if (name.empty() || name.find('\0') != std::string_view::npos ||
      name.find('\\') != std::string_view::npos) {
    return false;
  }
  std::size_t start = 0;
  while (start <= name.size()) {
    const std::size_t end = std::min(name.find('/', start), name.size());
    const std::string_view element = name.substr(start, end - start);
    if (element.empty() || element == "." || element == "..") {
      return false;
    }
    start = end + 1;
  }
  return true;
}

struct Directory {
  std::uint64_t offset = 0;
  std::uint64_t size = 0;
  std::uint64_t entries = 0;
};

// The central directory as the end records describe it (the zip64 ones
// when present: the package writer always adds them).
Directory find_directory(const ArchiveFile& file, std::uint64_t size) {
  if (size < kEndSize) {
    fail("the file is too short");
  }
  const std::uint64_t tail_size = std::min(size, kEndSize + kMaxComment);
  const std::uint64_t tail_start = size - tail_size;
  const std::vector<unsigned char> tail = file.read_at(tail_start, tail_size);
  // The end record is the last one whose comment reaches the end of the file.
  std::uint64_t at = tail_size - kEndSize + 1;
  bool found = false;
  while (at-- > 0) {
    const unsigned char* p = tail.data() + at;
    if (u32(p) == kEndSignature && at + kEndSize + u16(p + 20) == tail_size) {
      found = true;
      break;
    }
  }
  if (!found) {
    fail("no end of central directory record");
  }
  const unsigned char* end = tail.data() + at;
  const std::uint64_t end_offset = tail_start + at;
  std::uint64_t disk = u16(end + 4);
  std::uint64_t directory_disk = u16(end + 6);
  std::uint64_t disk_entries = u16(end + 8);
  Directory directory{u32(end + 16), u32(end + 12), u16(end + 10)};
  std::uint64_t directory_end = end_offset;

  if (end_offset >= kLocator64Size) {
    const std::vector<unsigned char> locator =
        file.read_at(end_offset - kLocator64Size, kLocator64Size);
    if (u32(locator.data()) == kLocator64Signature) {
      const std::uint64_t record = u64(locator.data() + 8);
      if (u32(locator.data() + 4) != 0 || u32(locator.data() + 16) != 1) {
        fail("archives of several volumes are not supported");
      }
      if (record > end_offset - kLocator64Size ||
          end_offset - kLocator64Size - record < kEnd64Size) {
        fail("zip64 end of central directory record lies outside the file");
      }
      const std::vector<unsigned char> end64 = file.read_at(record, kEnd64Size);
      if (u32(end64.data()) != kEnd64Signature) {
        fail("no zip64 end of central directory record");
      }
      disk = u32(end64.data() + 16);
      directory_disk = u32(end64.data() + 20);
      disk_entries = u64(end64.data() + 24);
      directory = {u64(end64.data() + 48), u64(end64.data() + 40), u64(end64.data() + 32)};
      directory_end = record;
    }
  }
  if (disk != 0 || directory_disk != 0 || disk_entries != directory.entries) {
    fail("archives of several volumes are not supported");
  }
  if (directory.offset > directory_end || directory.size > directory_end - directory.offset) {
    fail("the central directory lies outside the file");
  }
  if (directory.size > kMaxDirectoryBytes || directory.entries > kMaxEntries) {
    fail("the central directory is too large for a model package");
  }
  return directory;
}

// The zip64 extra field replaces each 32-bit field that holds all ones, in
// the order uncompressed size, compressed size, local header offset.
void apply_zip64_extra(const unsigned char* extra, std::uint64_t extra_size,
                       std::uint64_t& uncompressed, std::uint64_t& compressed, std::uint64_t& local,
                       const std::string& name) {
  std::uint64_t at = 0;
  while (at + 4 <= extra_size) {
    const std::uint16_t id = u16(extra + at);
    const std::uint64_t length = u16(extra + at + 2);
    if (at + 4 + length > extra_size) {
      fail("damaged extra field of " + quoted(name));
    }
    if (id == kZip64Extra) {
      const unsigned char* field = extra + at + 4;
      std::uint64_t used = 0;
      for (std::uint64_t* value : {&uncompressed, &compressed, &local}) {
        if (*value != 0xFFFFFFFFu) {
          continue;
        }
        if (used + 8 > length) {
          fail("damaged zip64 field of " + quoted(name));
        }
        *value = u64(field + used);
        used += 8;
      }
      return;
    }
    at += 4 + length;
  }
}

// Two members over the same bytes could be unpacked (and checked) as two
// different versions of those bytes when the file changes in between. In
// the order of offset and size, each member must begin where the one before
// it ends or later (an empty member may stand where a member begins).
void fail_on_overlap(const std::vector<PackageEntry>& entries) {
  std::vector<const PackageEntry*> placed;
  placed.reserve(entries.size());
  for (const PackageEntry& entry : entries) {
    placed.push_back(&entry);
  }
  std::sort(placed.begin(), placed.end(), [](const PackageEntry* a, const PackageEntry* b) {
    return std::tie(a->offset, a->size) < std::tie(b->offset, b->size);
  });
  for (std::size_t i = 1; i < placed.size(); ++i) {
    if (placed[i]->offset < placed[i - 1]->offset + placed[i - 1]->size) {
      fail("members " + quoted(placed[i - 1]->name) + " and " + quoted(placed[i]->name) +
           " overlap");
    }
  }
}

} // namespace

std::vector<PackageEntry> read_package_entries(int fd, std::uint64_t size,
                                               std::vector<ArchiveRead>* reads) {
  const ArchiveFile file(fd, reads);
  const Directory directory = find_directory(file, size);
  const std::vector<unsigned char> bytes = file.read_at(directory.offset, directory.size);
  std::vector<PackageEntry> entries;
  entries.reserve(static_cast<std::size_t>(directory.entries));
  std::uint64_t claimed = 0;
  std::uint64_t at = 0;
  for (std::uint64_t i = 0; i < directory.entries; ++i) {
    if (directory.size - at < kCentralSize || u32(bytes.data() + at) != kCentralSignature) {
      fail("damaged central directory");
    }
    const unsigned char* header = bytes.data() + at;
    const std::uint64_t name_size = u16(header + 28);
    const std::uint64_t extra_size = u16(header + 30);
    const std::uint64_t comment_size = u16(header + 32);
    if (directory.size - at - kCentralSize < name_size + extra_size + comment_size) {
      fail("damaged central directory");
    }
    std::string name(reinterpret_cast<const char*>(header + kCentralSize), name_size);
    std::uint64_t compressed = u32(header + 20);
    std::uint64_t uncompressed = u32(header + 24);
    std::uint64_t local = u32(header + 42);
    apply_zip64_extra(header + kCentralSize + name_size, extra_size, uncompressed, compressed,
                      local, name);
    at += kCentralSize + name_size + extra_size + comment_size;

    if ((u16(header + 8) & 1u) != 0) {
      fail("encrypted member " + quoted(name));
    }
    if (u16(header + 10) != 0 || compressed != uncompressed) {
      fail("compressed member " + quoted(name));
    }
    const bool directory_member = !name.empty() && name.back() == '/';
    if (!plain_relative_name(directory_member ? std::string_view(name).substr(0, name.size() - 1)
                                              : std::string_view(name))) {
      fail("member name is not a plain relative path: " + quoted(name));
    }
    if (directory_member) {
      continue;
    }
    if (local > size || size - local < kLocalSize) {
      fail("member " + quoted(name) + " lies outside the file");
    }
    const std::vector<unsigned char> local_header = file.read_at(local, kLocalSize);
    if (u32(local_header.data()) != kLocalSignature) {
      fail("damaged local header of " + quoted(name));
    }
    const std::uint64_t data =
        local + kLocalSize + u16(local_header.data() + 26) + u16(local_header.data() + 28);
    if (data > size || uncompressed > size - data) {
      fail("member " + quoted(name) + " lies outside the file");
    }
    // Members that share bytes would unpack into more than the file holds.
    claimed += uncompressed;
    if (claimed > size) {
      fail("members claim more bytes than the file holds");
    }
    entries.push_back({std::move(name), data, uncompressed});
  }
  fail_on_overlap(entries);
  return entries;
}

} // namespace velmora::detail
