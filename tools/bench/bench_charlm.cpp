// Words per second of NativeCharLM::encode_many over a sentence file.
//
//   velmora_bench_charlm BUNDLE SENTENCES THREADS [REPEATS]
//
// SENTENCES holds one sentence per line, its words separated by tabs. The
// bundle is a forward_charlm/backward_charlm bundle. Prints one line of
// "key=value" fields: the best and median words per second over REPEATS
// timed passes (after one untimed pass) and the sum of the absolute values
// of all vector entries, which the reference timing compares with its own.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <ATen/Parallel.h>
#include <ATen/ops/sum.h>

#include <velmora/json.hpp>
#include <velmora/model_bundle.hpp>

#include "encoders/native_charlm.hpp"

namespace {

std::vector<std::vector<std::string>> read_sentences(const char* path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    throw std::runtime_error(std::string("cannot read ") + path);
  }
  std::vector<std::vector<std::string>> sentences;
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string>& words = sentences.emplace_back();
    std::size_t start = 0;
    while (true) {
      const std::size_t tab = line.find('\t', start);
      words.push_back(line.substr(start, tab - start));
      if (tab == std::string::npos) {
        break;
      }
      start = tab + 1;
    }
  }
  return sentences;
}

} // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::cerr << "usage: " << argv[0] << " BUNDLE SENTENCES THREADS [REPEATS]\n";
    return 2;
  }
  try {
    // A benchmark may choose the pool size; the library itself never does.
    at::set_num_threads(std::atoi(argv[3]));
    const int repeats = argc > 4 ? std::max(1, std::atoi(argv[4])) : 3;
    auto bundle = std::make_shared<velmora::ModelBundle>(argv[1], false);
    const velmora::detail::JsonValue assets = velmora::detail::parse_json(bundle->assets_json());
    const velmora::detail::NativeCharLM model(bundle, "", assets);
    const auto sentences = read_sentences(argv[2]);
    std::size_t words = 0;
    for (const auto& sentence : sentences) {
      words += sentence.size();
    }

    double checksum = 0.0;
    for (const at::Tensor& vectors : model.encode_many(sentences)) {
      checksum += at::sum(vectors.to(at::kDouble).abs()).item<double>();
    }
    std::vector<double> rates;
    for (int pass = 0; pass < repeats; ++pass) {
      const auto start = std::chrono::steady_clock::now();
      const auto result = model.encode_many(sentences);
      const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
      rates.push_back(static_cast<double>(words) / seconds.count());
    }
    std::sort(rates.begin(), rates.end());
    std::printf("threads=%d sentences=%zu words=%zu best=%.1f median=%.1f checksum=%.6f\n",
                at::get_num_threads(), sentences.size(), words, rates.back(),
                rates[rates.size() / 2], checksum);
  } catch (const std::exception& error) {
    std::cerr << "bench_charlm: " << error.what() << "\n";
    return 1;
  }
  return 0;
}
