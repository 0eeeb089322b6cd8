#pragma once

// The raw texts of a documents file as the pipeline benchmarks write it:
// texts separated by lines holding only U+001E.

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace velmora::bench {

inline std::vector<std::string> read_documents(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    throw std::runtime_error("cannot read " + path);
  }
  std::stringstream buffer;
  buffer << in.rdbuf();
  const std::string all = buffer.str();
  const std::string separator = "\n\x1e\n";
  std::vector<std::string> documents;
  std::size_t start = 0;
  while (start <= all.size()) {
    const std::size_t end = all.find(separator, start);
    std::string text =
        all.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (!text.empty()) {
      documents.push_back(std::move(text));
    }
    if (end == std::string::npos) {
      break;
    }
    start = end + separator.size();
  }
  return documents;
}

} // namespace velmora::bench
