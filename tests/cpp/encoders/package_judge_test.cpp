// What a compiled package must hold, and what of it is checked, before the
// package runtime may load it.

#include <fcntl.h>
#include <unistd.h>

#include <velmora/errors.hpp>
#include <velmora/transformer_encoder.hpp>

#include "encoders/package_archive.hpp"
#include "encoders/package_judge.hpp"
#include "transformer_test_support.hpp"

namespace {

namespace fs = std::filesystem;
using velmora::TransformerError;
using velmora::detail::FileRange;
using velmora::detail::judge_package_library;
using velmora::detail::judge_package_members;
using velmora::detail::judge_prebuilt_package;
using velmora::detail::PrebuiltMembers;
namespace vt = velmora::test;

// The fixture package's three members: names and bytes, in the order
// library, metadata, weights.
struct Members {
  std::vector<std::string> names;
  std::vector<std::string> bytes;
};

const Members& genuine() {
  static const Members members = [] {
    const fs::path package = vt::transformer_bundle("wordpiece") / "tiny.pt2";
    const std::string archive = vt::read_file(package);
    const int fd = ::open(package.c_str(), O_RDONLY | O_CLOEXEC);
    const auto entries = velmora::detail::read_package_entries(fd, archive.size());
    ::close(fd);
    std::vector<std::string> names;
    for (const auto& entry : entries) {
      names.push_back(entry.name);
    }
    const PrebuiltMembers chosen = judge_package_members(names);
    Members out;
    for (std::size_t i : {chosen.library, chosen.metadata, chosen.weights}) {
      out.names.push_back(entries[i].name);
      out.bytes.push_back(archive.substr(entries[i].offset, entries[i].size));
    }
    return out;
  }();
  return members;
}

// A file holding `bytes`, open for reading while the object lives.
class BytesFile {
public:
  BytesFile(const vt::TempDir& dir, const std::string& name, const std::string& bytes)
      : path_(dir.path() / name) {
    std::ofstream(path_, std::ios::binary) << bytes;
    fd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    size_ = bytes.size();
  }
  ~BytesFile() { ::close(fd_); }
  FileRange range() const { return {fd_, 0, size_}; }

private:
  fs::path path_;
  int fd_ = -1;
  std::uint64_t size_ = 0;
};

// The message judging `library` gives, or "" with `declared` set.
std::string judge_library(const std::string& library, std::uint64_t* declared = nullptr) {
  const vt::TempDir dir;
  const BytesFile file(dir, "lib.so", library);
  try {
    const std::uint64_t size = judge_package_library(file.range(), "lib.so");
    if (declared != nullptr) {
      *declared = size;
    }
    return "";
  } catch (const TransformerError& error) {
    return error.what();
  }
}

std::string with_bytes(std::string bytes, std::size_t at, const std::string& replacement) {
  return bytes.replace(at, replacement.size(), replacement);
}

TEST(PackageJudge, MembersByName) {
  const std::string dir = "p/data/aotinductor/model/";
  const std::vector<std::string> prebuilt = {"p/archive_format", dir + "m.so",
                                             dir + "m_metadata.json", dir + "m_weights.blob",
                                             "p/.data/version"};
  const PrebuiltMembers chosen = judge_package_members(prebuilt);
  EXPECT_EQ(chosen.library, 1u);
  EXPECT_EQ(chosen.metadata, 2u);
  EXPECT_EQ(chosen.weights, 3u);
  // Without an outer directory, as the runtime also takes it.
  EXPECT_NO_THROW(
      judge_package_members({"data/aotinductor/model/m_weights.blob", "data/aotinductor/model/m.so",
                             "data/aotinductor/model/m_metadata.json"}));

  const auto with = [&](const std::string& name) {
    std::vector<std::string> names = prebuilt;
    names.push_back(name);
    return names;
  };
  const auto without = [&](const std::string& name) {
    std::vector<std::string> names = prebuilt;
    std::erase(names, name);
    return names;
  };
  const std::string build_input = "' is a build input: only prebuilt packages are loaded";
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {with(dir + "m.cpp"), "package member '" + dir + "m.cpp" + build_input},
      {with(dir + "m_compile_flags.json"),
       "package member '" + dir + "m_compile_flags.json" + build_input},
      {with("other/m_linker_flags.json"),
       "package member 'other/m_linker_flags.json" + build_input},
      {with("p/objects/kernel.o"), "package member 'p/objects/kernel.o" + build_input},
      {without(dir + "m_weights.blob"), "package member '" + dir + "m_weights.blob' is missing"},
      {without(dir + "m_metadata.json"), "package member '" + dir + "m_metadata.json' is missing"},
      {without(dir + "m.so"),
       "the package holds no library in its model directory 'data/aotinductor/model'"},
      {with(dir + "k.so"), "package member '" + dir +
                               "k.so' is a second library: a package "
                               "holds one"},
      {with("p/xdata/aotinductor/model/k.so"),
       "package library 'p/xdata/aotinductor/model/k.so' lies outside the model directory "
       "'data/aotinductor/model'"},
      {with(dir + "k_metadata.json"),
       "package member '" + dir + "k_metadata.json' is not part of a prebuilt package"},
      {with("q/data/aotinductor/model/m_weights.blob"),
       "package member 'q/data/aotinductor/model/m_weights.blob' is not part of a prebuilt "
       "package"},
      {with(dir + "m_weights.blob"), "package member '" + dir + "m_weights.blob' appears twice"},
  };
  for (const auto& [names, message] : cases) {
    EXPECT_EQ(vt::message_of<TransformerError>([&] { judge_package_members(names); }), message);
  }
}

TEST(PackageJudge, LibraryLayout) {
  const std::string& library = genuine().bytes[0];
  std::uint64_t declared = 0;
  ASSERT_EQ(judge_library(library, &declared), "");
  EXPECT_EQ(declared, genuine().bytes[2].size());

  const std::string refused = "package library 'lib.so' ";
  const std::string symbol = "_binary_constants_bin_start";
  const std::size_t named = library.find(symbol + '\0');
  ASSERT_NE(named, std::string::npos);
  const std::vector<std::pair<std::string, std::string>> cases = {
      {library.substr(0, 40), "is not a 64-bit ELF file"},
      {"x" + library, "is not a 64-bit ELF file"},
      {library.substr(0, 100000), "is damaged: a segment lies outside the file"},
      {library.substr(0, library.size() - 1),
       "is damaged: its section headers lie outside the file"},
      // e_machine: an AArch64 library.
      {with_bytes(library, 18, std::string("\xb7\x00", 2)),
       "is not a shared library for this machine"},
      {with_bytes(library, named, "_binary_constants_bin_stars"),
       "does not state the size of its weights"},
  };
  for (const auto& [bytes, defect] : cases) {
    EXPECT_EQ(judge_library(bytes), refused + defect);
  }
}

TEST(PackageJudge, MetadataAndWeights) {
  const vt::TempDir dir;
  const std::vector<std::string> names = {"data/aotinductor/model/m.so",
                                          "data/aotinductor/model/m_metadata.json",
                                          "data/aotinductor/model/m_weights.blob"};
  const PrebuiltMembers members{0, 1, 2};
  const BytesFile library(dir, "m.so", genuine().bytes[0]);
  const BytesFile weights(dir, "m_weights.blob", genuine().bytes[2]);
  const auto judged = [&](const std::string& metadata, FileRange weights_range) {
    const BytesFile file(dir, "m_metadata.json", metadata);
    return vt::message_of<TransformerError>([&] {
      judge_prebuilt_package(names, members, library.range(), file.range(), weights_range);
      throw TransformerError("");
    });
  };
  EXPECT_EQ(judged(genuine().bytes[1], weights.range()), "");

  const std::string refused = "package metadata '" + names[1] + "' ";
  EXPECT_EQ(
      judged("{\"AOTI_DEVICE_KEY\": \"cpu\"", weights.range()).rfind(refused + "is not JSON: ", 0),
      0u);
  EXPECT_EQ(judged("[]", weights.range()), refused + "is not a JSON object");
  EXPECT_EQ(judged("{\"AOTI_DEVICE_KEY\": \"cpu\", \"AOTI_CPU_ISA\": [1]}", weights.range()),
            refused + "has a value that is not a string: 'AOTI_CPU_ISA'");
  for (const char* text : {"{}", "{\"AOTI_DEVICE_KEY\": \"cuda\"}"}) {
    EXPECT_EQ(judged(text, weights.range()), refused + "does not name the CPU as its device");
  }
  FileRange short_weights = weights.range();
  short_weights.size -= 4096;
  EXPECT_EQ(judged(genuine().bytes[1], short_weights),
            "package weights '" + names[2] + "' hold " + std::to_string(short_weights.size) +
                " bytes, but the library reads " + std::to_string(weights.range().size));
}

TEST(PackageJudge, DirectoryPackagesAreJudgedInPlace) {
  const vt::TempDir dir;
  const fs::path model = dir.path() / "data" / "aotinductor" / "model";
  fs::create_directories(model);
  for (std::size_t i = 0; i < 3; ++i) {
    std::ofstream(model / fs::path(genuine().names[i]).filename(), std::ios::binary)
        << genuine().bytes[i];
  }
  const auto vocabulary =
      vt::strings_of(vt::transformer_assets("wordpiece").at("tokenizer").at("vocabulary"));
  const auto load = [&] {
    velmora::TransformerEncoder(dir.path(), vocabulary, true, true, 0, 64, "[UNK]", "[CLS]",
                                "[SEP]", "##", 100);
  };
  EXPECT_NO_THROW(load());

  // Given a source beside the library, the runtime would compile it.
  const std::string source = fs::path(genuine().names[0]).stem().string() + ".cpp";
  std::ofstream(model / source) << "int main() {}\n";
  EXPECT_EQ(vt::message_of<TransformerError>(load),
            "could not load AOTInductor transformer '" + dir.path().string() +
                "': package member 'data/aotinductor/model/" + source +
                "' is a build input: only prebuilt packages are loaded");
}

} // namespace
