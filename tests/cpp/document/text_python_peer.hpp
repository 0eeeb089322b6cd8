#pragma once

// Runs Python 3.12 (whose unicodedata is Unicode 15.0, the version of the
// library's tables) as an independent peer that writes expectations at test
// time.

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "test_support.hpp"

namespace velmora::test {

inline std::string shell_quote(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  }
  return out + "'";
}

inline std::optional<std::string> run_capture(const std::string& command) {
  FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r");
  if (pipe == nullptr) {
    return std::nullopt;
  }
  std::string out;
  char buffer[4096];
  while (std::size_t n = fread(buffer, 1, sizeof buffer, pipe)) {
    out.append(buffer, n);
  }
  return pclose(pipe) == 0 ? std::optional<std::string>(out) : std::nullopt;
}

// The interpreter the module is built for (Python 3.12), only if its
// unicodedata is 15.0.0.
inline std::optional<std::string> unicode15_python() {
  const std::vector<std::string> candidates = {VELMORA_TEST_PYTHON};
  for (const std::string& python : candidates) {
    const auto version = run_capture(
        shell_quote(python) + " -c 'import unicodedata; print(unicodedata.unidata_version)'");
    if (version && *version == "15.0.0\n") {
      return python;
    }
  }
  return std::nullopt;
}

// Runs `script` with the output path as its only argument and returns the
// lines the script wrote there.
inline std::vector<std::string> run_peer(const std::string& python, const std::string& script) {
  TempDir dir;
  const auto script_path = dir.path() / "peer.py";
  const auto out_path = dir.path() / "out.txt";
  std::ofstream(script_path) << script;
  const std::string command = shell_quote(python) + " " + shell_quote(script_path.string()) + " " +
                              shell_quote(out_path.string());
  if (std::system(command.c_str()) != 0) {
    throw std::runtime_error("the Python peer failed: " + command);
  }
  std::vector<std::string> lines;
  std::ifstream in(out_path);
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line);
  }
  return lines;
}

inline std::string from_hex(const std::string& hex) {
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

} // namespace velmora::test

#define VELMORA_REQUIRE_PYTHON_UNICODE15(var)                                                      \
  const auto var##_opt = ::velmora::test::unicode15_python();                                      \
  if (!var##_opt) {                                                                                \
    GTEST_SKIP()                                                                                   \
        << "no Python with Unicode 15.0 unicodedata (the Python 3.12 of the build is expected)";   \
  }                                                                                                \
  const std::string& var = *var##_opt
