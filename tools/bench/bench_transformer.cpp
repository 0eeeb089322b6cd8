// Words per second of TransformerEncoder::encode_words_tensor over a sentence
// file, with a WordPiece vocabulary.
//
//   velmora_bench_transformer PACKAGE VOCAB SENTENCES THREADS [REPEATS] [MAX_LENGTH]
//
// VOCAB holds one token per line in id order (lower-casing, "[UNK]", "[CLS]",
// "[SEP]", "##"); SENTENCES one sentence per line, its words separated by
// tabs. Prints one line of "key=value" fields: the seconds taken to build the
// encoder (vocabulary and package load), the best and median words per second
// over REPEATS timed passes (after one untimed pass), and the sum of the
// absolute values of all vector entries, which the eager timing compares with
// its own.

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include <ATen/Parallel.h>
#include <ATen/ops/abs.h>
#include <ATen/ops/sum.h>
#include <c10/core/InferenceMode.h>

#include <velmora/transformer_encoder.hpp>

namespace {

std::vector<std::string> read_lines(const char* path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    throw std::runtime_error(std::string("cannot read ") + path);
  }
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line);
  }
  return lines;
}

std::vector<std::vector<std::string>> read_sentences(const char* path) {
  std::vector<std::vector<std::string>> sentences;
  for (const std::string& line : read_lines(path)) {
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

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::cerr << "usage: " << argv[0]
              << " PACKAGE VOCAB SENTENCES THREADS [REPEATS] [MAX_LENGTH]\n";
    return 2;
  }
  try {
    const int threads = std::stoi(argv[4]);
    const int repeats = argc > 5 ? std::stoi(argv[5]) : 3;
    const std::size_t max_length = argc > 6 ? std::stoul(argv[6]) : 512;
    // The library never resizes the pool; a benchmark, like a host, does.
    at::set_num_threads(threads);
    const auto sentences = read_sentences(argv[3]);
    std::size_t words = 0;
    for (const auto& sentence : sentences) {
      words += sentence.size();
    }

    const auto load_start = std::chrono::steady_clock::now();
    const velmora::TransformerEncoder encoder(argv[1], read_lines(argv[2]), true, true, 0,
                                              max_length, "[UNK]", "[CLS]", "[SEP]", "##", 100);
    const double load = seconds_since(load_start);

    // Plans run the encoder under their inference guard; so does this.
    c10::InferenceMode guard;
    double checksum = 0.0;
    for (const auto& sentence : sentences) {
      checksum += encoder.encode_words_tensor(sentence, false).abs().sum().item<double>();
    }
    std::vector<double> rates;
    for (int r = 0; r < repeats; ++r) {
      const auto start = std::chrono::steady_clock::now();
      for (const auto& sentence : sentences) {
        encoder.encode_words_tensor(sentence, false);
      }
      rates.push_back(static_cast<double>(words) / seconds_since(start));
    }
    std::sort(rates.begin(), rates.end());
    std::cout << "load=" << load << " best=" << rates.back()
              << " median=" << rates[rates.size() / 2] << " checksum=" << checksum << "\n";
  } catch (const std::exception& error) {
    std::cerr << error.what() << "\n";
    return 1;
  }
  return 0;
}
