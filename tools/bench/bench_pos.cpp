// Throughput of the part-of-speech tagger: words per second of process_bulk
// (and of process, document by document) over pre-split sentences.
//
//   velmora_bench_pos <bundle-dir> <sentences.tsv> [threads ...] [--repeat N]
//
// sentences.tsv holds one sentence per line, words separated by tabs; every
// 50 sentences form one document. Each thread count (default: 1 and all
// cores) is measured after one warm-up run; the best of N runs is reported
// as one line "threads=T bulk_wps=... process_wps=... words=...".
// tools/bench/bench_pos.py builds realistic bundles and compares with the
// PyTorch reference.

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <ATen/Parallel.h>

#include <velmora/document.hpp>
#include <velmora/pos.hpp>

namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::vector<std::string>> read_sentences(const std::string& path) {
  std::ifstream in(path);
  if (!in) {
    throw std::runtime_error("cannot read " + path);
  }
  std::vector<std::vector<std::string>> sentences;
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> words;
    std::stringstream fields(line);
    std::string word;
    while (std::getline(fields, word, '\t')) {
      if (!word.empty()) {
        words.push_back(word);
      }
    }
    if (!words.empty()) {
      sentences.push_back(std::move(words));
    }
  }
  return sentences;
}

std::vector<velmora::Document> make_documents(const std::vector<std::vector<std::string>>& all) {
  constexpr std::size_t kPerDocument = 50;
  std::vector<velmora::Document> documents;
  for (std::size_t first = 0; first < all.size(); first += kPerDocument) {
    std::vector<velmora::SentenceInput> inputs;
    for (std::size_t s = first; s < std::min(all.size(), first + kPerDocument); ++s) {
      velmora::SentenceInput& sentence = inputs.emplace_back();
      std::int32_t id = 1;
      for (const std::string& text : all[s]) {
        velmora::TokenInput& token = sentence.tokens.emplace_back();
        token.first_id = token.last_id = id;
        token.text = text;
        velmora::WordInput& word = token.words.emplace_back();
        word.id = id++;
        word.text = text;
      }
    }
    documents.emplace_back(std::string(), std::move(inputs));
  }
  return documents;
}

// The fastest of `repeat` timed runs after one warm-up; documents are built
// outside the timed part.
template <class Run>
double best_seconds(int repeat, const std::vector<std::vector<std::string>>& sentences, Run run) {
  run(make_documents(sentences));
  double best = 1e30;
  for (int i = 0; i < repeat; ++i) {
    std::vector<velmora::Document> documents = make_documents(sentences);
    const auto start = Clock::now();
    run(std::move(documents));
    best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
  }
  return best;
}

} // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::cerr << "usage: velmora_bench_pos <bundle-dir> <sentences.tsv> [threads ...] "
                 "[--repeat N] [--no-process]\n";
    return 2;
  }
  std::vector<int> threads;
  int repeat = 3;
  bool with_process = true;
  for (int i = 3; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--repeat" && i + 1 < argc) {
      repeat = std::atoi(argv[++i]);
    } else if (arg == "--no-process") {
      with_process = false;
    } else {
      threads.push_back(std::atoi(argv[i]));
    }
  }
  if (threads.empty()) {
    threads = {1, static_cast<int>(std::max(1u, std::thread::hardware_concurrency()))};
  }

  const auto sentences = read_sentences(argv[2]);
  std::size_t words = 0;
  for (const auto& sentence : sentences) {
    words += sentence.size();
  }
  const auto load_start = Clock::now();
  const velmora::POSPlan plan(argv[1], false);
  std::cout << "load_seconds=" << std::chrono::duration<double>(Clock::now() - load_start).count()
            << " sentences=" << sentences.size() << " words=" << words << "\n";

  for (const int count : threads) {
    at::set_num_threads(count);
    const double bulk = best_seconds(repeat, sentences, [&](std::vector<velmora::Document> docs) {
      plan.process_bulk(std::move(docs));
    });
    std::cout << "threads=" << count << " bulk_wps=" << static_cast<double>(words) / bulk;
    if (with_process) {
      const double single =
          best_seconds(repeat, sentences, [&](std::vector<velmora::Document> docs) {
            for (const velmora::Document& document : docs) {
              plan.process(document);
            }
          });
      std::cout << " process_wps=" << static_cast<double>(words) / single;
    }
    std::cout << std::endl;
  }
  return 0;
}
