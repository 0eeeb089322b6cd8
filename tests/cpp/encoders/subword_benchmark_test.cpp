// Throughput of the three tokenizers on the EWT dev sentences, cold (fresh
// cache) and warm (second pass). Disabled by default; run with
//   velmora_encoders_tests --gtest_also_run_disabled_tests --gtest_filter='*Benchmark*'

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "subword_fixtures.hpp"

namespace velmora {
namespace {

using Sentences = std::vector<std::vector<std::string>>;

Sentences ewt_sentences(const std::filesystem::path& conllu) {
  Sentences sentences(1);
  for (const std::string& line : test::read_lines(conllu)) {
    if (line.empty()) {
      if (!sentences.back().empty()) {
        sentences.emplace_back();
      }
    } else if (line[0] != '#') {
      const auto fields = test::split(line, '\t');
      if (fields.at(0).find_first_of("-.") == std::string::npos) {
        sentences.back().push_back(fields.at(1));
      }
    }
  }
  return sentences;
}

template <class Tokenizer>
void measure(const char* name, const Tokenizer& tokenizer, const Sentences& sentences) {
  std::size_t words = 0;
  for (const auto& sentence : sentences) {
    words += sentence.size();
  }
  for (const char* phase : {"cold", "warm"}) {
    const auto start = std::chrono::steady_clock::now();
    std::size_t ids = 0;
    for (const auto& sentence : sentences) {
      ids += tokenizer.encode(sentence, true).input_ids.size();
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%-10s %s: %9.0f words/s (%zu words, %zu ids)\n", name, phase, words / seconds,
                words, ids);
  }
}

TEST(SubwordBenchmark, DISABLED_WordsPerSecond) {
  VELMORA_REQUIRE_SHARED(conllu, "ud-en-ewt/en_ewt-ud-dev.conllu");
  const Sentences sentences = ewt_sentences(conllu);
  measure("wordpiece", test::trained_wordpiece(true, true), sentences);
  measure("bpe", test::trained_byte_bpe(true), sentences);
  measure("xlmr", test::trained_xlmr(), sentences);
}

} // namespace
} // namespace velmora
