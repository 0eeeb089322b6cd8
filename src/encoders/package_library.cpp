#include "encoders/package_library.hpp"

#include <cstddef>
#include <cstring>
#include <string_view>
#include <vector>

#include <elf.h>

#include <velmora/errors.hpp>

namespace velmora::detail {
namespace {

#if defined(__x86_64__)
constexpr Elf64_Half kMachine = EM_X86_64;
#elif defined(__aarch64__)
constexpr Elf64_Half kMachine = EM_AARCH64;
#else
#error "no ELF machine is known for this platform"
#endif

// The symbol of a package library whose first 8 bytes hold the size of the
// weights file it reads.
constexpr std::string_view kWeightsSizeSymbol = "_binary_constants_bin_start";
// Symbol tables of a package's library are kilobytes; one far larger is
// refused before it is read into memory.
constexpr std::uint64_t kMaxTableBytes = std::uint64_t{64} << 20;

class Library {
public:
  Library(const FileRange& bytes, const std::string& member) : bytes_(bytes), member_(member) {}

  [[noreturn]] void fail(const std::string& defect) const {
    throw TransformerError("package library '" + member_ + "' " + defect);
  }

  bool inside(std::uint64_t offset, std::uint64_t count) const {
    return offset <= bytes_.size && count <= bytes_.size - offset;
  }

  bool read(void* out, std::uint64_t offset, std::uint64_t count) const {
    return bytes_.read(out, offset, count);
  }

  template <class Record>
  std::vector<Record> table(std::uint64_t offset, std::uint64_t count, const char* what) const {
    if (count > kMaxTableBytes / sizeof(Record)) {
      fail(std::string("has too large ") + what);
    }
    std::vector<Record> records(static_cast<std::size_t>(count));
    if (!read(records.data(), offset, count * sizeof(Record))) {
      fail(std::string("is damaged: its ") + what + " lie outside the file");
    }
    return records;
  }

private:
  FileRange bytes_;
  const std::string& member_;
};

Elf64_Ehdr read_header(const Library& library) {
  Elf64_Ehdr header;
  if (!library.read(&header, 0, sizeof header) ||
      std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != ELFCLASS64 ||
      header.e_ident[EI_DATA] != ELFDATA2LSB || header.e_ident[EI_VERSION] != EV_CURRENT) {
    library.fail("is not a 64-bit ELF file");
  }
  if (header.e_type != ET_DYN || header.e_machine != kMachine) {
    library.fail("is not a shared library for this machine");
  }
  return header;
}

// Checks every segment and returns the program headers.
std::vector<Elf64_Phdr> read_segments(const Library& library, const Elf64_Ehdr& header) {
  if (header.e_phentsize != sizeof(Elf64_Phdr) || header.e_phnum == 0 ||
      header.e_phnum == PN_XNUM) {
    library.fail("is damaged: its program headers are malformed");
  }
  std::vector<Elf64_Phdr> segments =
      library.table<Elf64_Phdr>(header.e_phoff, header.e_phnum, "program headers");
  bool stack_seen = false;
  for (const Elf64_Phdr& segment : segments) {
    if (!library.inside(segment.p_offset, segment.p_filesz) ||
        (segment.p_type == PT_LOAD && segment.p_filesz > segment.p_memsz)) {
      library.fail("is damaged: a segment lies outside the file");
    }
    if (segment.p_type == PT_GNU_STACK) {
      stack_seen = true;
      if ((segment.p_flags & PF_X) != 0) {
        library.fail("requires an executable stack");
      }
    }
  }
  // Without the header the platform's default applies: an executable stack.
  if (!stack_seen) {
    library.fail("requires an executable stack");
  }
  return segments;
}

// The file offset of the `count` bytes the library maps at `address`, when
// a segment maps them from the file.
bool file_offset(const std::vector<Elf64_Phdr>& segments, std::uint64_t address,
                 std::uint64_t count, std::uint64_t& offset) {
  for (const Elf64_Phdr& segment : segments) {
    if (segment.p_type == PT_LOAD && address >= segment.p_vaddr &&
        address - segment.p_vaddr <= segment.p_filesz &&
        count <= segment.p_filesz - (address - segment.p_vaddr)) {
      offset = segment.p_offset + (address - segment.p_vaddr);
      return true;
    }
  }
  return false;
}

} // namespace

std::uint64_t judge_package_library(const FileRange& bytes, const std::string& member) {
  const Library library(bytes, member);
  const Elf64_Ehdr header = read_header(library);
  const std::vector<Elf64_Phdr> segments = read_segments(library, header);

  if (header.e_shnum == 0 || header.e_shentsize != sizeof(Elf64_Shdr)) {
    library.fail("has no section headers to find its weights size in");
  }
  const std::vector<Elf64_Shdr> sections =
      library.table<Elf64_Shdr>(header.e_shoff, header.e_shnum, "section headers");
  const Elf64_Shdr* symbols = nullptr;
  for (const Elf64_Shdr& section : sections) {
    if (section.sh_type != SHT_NOBITS && !library.inside(section.sh_offset, section.sh_size)) {
      library.fail("is damaged: a section lies outside the file");
    }
    if (section.sh_type == SHT_DYNSYM && symbols == nullptr) {
      symbols = &section;
    }
  }
  if (symbols == nullptr || symbols->sh_entsize != sizeof(Elf64_Sym) ||
      symbols->sh_link >= sections.size() || sections[symbols->sh_link].sh_type != SHT_STRTAB) {
    library.fail("has no dynamic symbol table to find its weights size in");
  }
  const Elf64_Shdr& strings = sections[symbols->sh_link];
  const std::vector<Elf64_Sym> table = library.table<Elf64_Sym>(
      symbols->sh_offset, symbols->sh_size / sizeof(Elf64_Sym), "symbol table");
  const std::vector<char> names =
      library.table<char>(strings.sh_offset, strings.sh_size, "symbol names");
  const std::string_view all_names(names.data(), names.size());

  for (const Elf64_Sym& symbol : table) {
    if (symbol.st_name >= all_names.size() || symbol.st_shndx == SHN_UNDEF) {
      continue;
    }
    const std::string_view rest = all_names.substr(symbol.st_name);
    if (rest.substr(0, rest.find('\0')) != kWeightsSizeSymbol) {
      continue;
    }
    std::uint64_t offset = 0;
    std::uint64_t declared = 0;
    if (!file_offset(segments, symbol.st_value, sizeof declared, offset) ||
        !library.read(&declared, offset, sizeof declared)) {
      library.fail("is damaged: its weights size lies outside the file");
    }
    return declared;
  }
  library.fail("does not state the size of its weights");
}

} // namespace velmora::detail
