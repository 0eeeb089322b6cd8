#pragma once

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace velmora::test {

// Root of the generated fixtures of this build tree; each generator module
// writes into a subdirectory named after it (gen_<name>.py -> <name>/).
inline std::filesystem::path fixture_dir() {
  return VELMORA_FIXTURE_DIR;
}

inline std::filesystem::path fixture(const std::string& relative) {
  return fixture_dir() / relative;
}

// The third-party data shared beside the project, or nothing when absent.
inline std::optional<std::filesystem::path> shared_data(const std::string& relative) {
  std::filesystem::path path = std::filesystem::path(VELMORA_SHARED_DATA_DIR) / relative;
  if (!std::filesystem::exists(path)) {
    return std::nullopt;
  }
  return path;
}

// The raw text of a CoNLL-U file: one document per "# newdoc", paragraphs
// (from "# newpar") separated by a blank line, sentences by one space.
inline std::vector<std::string> conllu_documents(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::vector<std::string> documents;
  std::string line;
  bool new_paragraph = true;
  while (std::getline(in, line)) {
    if (line.rfind("# newdoc", 0) == 0 || documents.empty()) {
      documents.emplace_back();
      new_paragraph = true;
    }
    if (line.rfind("# newpar", 0) == 0) {
      new_paragraph = true;
    } else if (line.rfind("# text = ", 0) == 0) {
      std::string& text = documents.back();
      if (!text.empty()) {
        text += new_paragraph ? "\n\n" : " ";
      }
      text += line.substr(9);
      new_paragraph = false;
    }
  }
  return documents;
}

// The process's resident memory in KiB, from /proc (0 when unreadable).
inline long resident_kib() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) {
      return std::stol(line.substr(6));
    }
  }
  return 0;
}

inline std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// A fresh empty directory under the system temporary directory, removed when
// the object goes out of scope.
class TempDir {
public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "velmora-test-XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr) {
      throw std::runtime_error("cannot create a temporary directory");
    }
    path_ = tmpl;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

private:
  std::filesystem::path path_;
};

// A copy of the bundle at `source` in `dir` whose assets text (or the text of
// another of its files) has each `from` replaced by its `to` (each must
// occur). Checksums are not verified by the tests, so the edited files load
// as they are.
inline std::filesystem::path
edited_copy(const TempDir& dir, const std::filesystem::path& source,
            const std::vector<std::pair<std::string, std::string>>& edits,
            const std::string& file = "assets.json") {
  std::string flat = source.lexically_relative(fixture_dir()).string();
  std::replace(flat.begin(), flat.end(), '/', '_');
  const std::filesystem::path target = dir.path() / flat;
  std::filesystem::remove_all(target);
  std::filesystem::copy(source, target, std::filesystem::copy_options::recursive);
  std::string text = read_file(target / file);
  for (const auto& [from, to] : edits) {
    const std::size_t at = text.find(from);
    if (at == std::string::npos) {
      ADD_FAILURE() << file << " of " << source << " lacks: " << from;
      continue;
    }
    text.replace(at, from.size(), to);
  }
  std::filesystem::remove(target / file);
  std::ofstream(target / file, std::ios::binary) << text;
  return target;
}

// The message of the E that f throws; a test failure when it throws nothing.
template <class E, class F> std::string message_of(F&& f) {
  try {
    f();
  } catch (const E& e) {
    return e.what();
  }
  ADD_FAILURE() << "expected exception not thrown";
  return {};
}

} // namespace velmora::test

// Skips the current test with a clear message when shared data is missing.
#define VELMORA_REQUIRE_SHARED(var, relative)                                                      \
  auto var##_opt = ::velmora::test::shared_data(relative);                                         \
  if (!var##_opt) {                                                                                \
    GTEST_SKIP() << "shared test data not found: ../shared/data/" << (relative);                   \
  }                                                                                                \
  const std::filesystem::path& var = *var##_opt
