#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

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
