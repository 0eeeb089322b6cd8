#pragma once

// The document benchmarks of the tagger and the parser: words per second of
// a plan's process_bulk (and of process, document by document) over
// pre-split sentences.
//
//   <program> <bundle-dir> <words.tsv> [threads ...] [--repeat N] [--no-process]
//
// words.tsv holds one word per line as text, lemma, UPOS, XPOS and features
// separated by tabs (missing or empty fields are absent annotations), with an
// empty line after each sentence; every 50 sentences form one document. Each
// thread count (default: 1 and all cores) is measured after one warm-up run;
// the best of N runs is reported as one line "threads=T bulk_wps=...
// process_wps=...".

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <ATen/Parallel.h>

#include <velmora/document.hpp>

#include "process_memory.hpp"

namespace velmora::bench {

using Clock = std::chrono::steady_clock;
using Sentence = std::vector<WordInput>;

inline std::vector<Sentence> read_sentences(const std::string& path) {
  std::ifstream in(path);
  if (!in) {
    throw std::runtime_error("cannot read " + path);
  }
  const auto optional = [](const std::string& value) -> std::optional<std::string> {
    if (value.empty()) {
      return std::nullopt;
    }
    return value;
  };
  std::vector<Sentence> sentences(1);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty()) {
      if (!sentences.back().empty()) {
        sentences.emplace_back();
      }
      continue;
    }
    std::vector<std::string> fields;
    std::stringstream stream(line);
    std::string field;
    while (std::getline(stream, field, '\t')) {
      fields.push_back(field);
    }
    fields.resize(5);
    WordInput& word = sentences.back().emplace_back();
    word.id = static_cast<std::int32_t>(sentences.back().size());
    word.text = fields[0];
    word.lemma = optional(fields[1]);
    word.upos = optional(fields[2]);
    word.xpos = optional(fields[3]);
    word.feats = optional(fields[4]);
  }
  if (sentences.back().empty()) {
    sentences.pop_back();
  }
  return sentences;
}

// One document per 50 sentences, each word its own token.
inline std::vector<Document> make_documents(const std::vector<Sentence>& all) {
  constexpr std::size_t kPerDocument = 50;
  std::vector<Document> documents;
  for (std::size_t first = 0; first < all.size(); first += kPerDocument) {
    std::vector<SentenceInput> inputs;
    for (std::size_t s = first; s < std::min(all.size(), first + kPerDocument); ++s) {
      SentenceInput& sentence = inputs.emplace_back();
      for (const WordInput& word : all[s]) {
        TokenInput& token = sentence.tokens.emplace_back();
        token.first_id = token.last_id = word.id;
        token.text = word.text;
        token.words.push_back(word);
      }
    }
    documents.emplace_back(std::string(), std::move(inputs));
  }
  return documents;
}

// The options after a benchmark's positional arguments (argv[first] on):
// thread counts (default: 1 and all cores), "--repeat N" (default 3) and
// those of the boolean `flags` that were given.
struct BenchOptions {
  std::vector<int> threads;
  int repeat = 3;
  std::set<std::string> flags;
};

inline BenchOptions parse_options(int argc, char** argv, int first,
                                  std::initializer_list<std::string> flags = {}) {
  BenchOptions options;
  for (int i = first; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--repeat" && i + 1 < argc) {
      options.repeat = std::atoi(argv[++i]);
    } else if (std::find(flags.begin(), flags.end(), arg) != flags.end()) {
      options.flags.insert(arg);
    } else {
      options.threads.push_back(std::atoi(argv[i]));
    }
  }
  if (options.threads.empty()) {
    options.threads = {1, static_cast<int>(std::max(1u, std::thread::hardware_concurrency()))};
  }
  return options;
}

// The fastest of `repeat` timed runs after one warm-up; documents are built
// outside the timed part.
template <class Run>
double best_seconds(int repeat, const std::vector<Sentence>& sentences, Run run) {
  run(make_documents(sentences));
  double best = 1e30;
  for (int i = 0; i < repeat; ++i) {
    std::vector<Document> documents = make_documents(sentences);
    const auto start = Clock::now();
    run(std::move(documents));
    best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
  }
  return best;
}

// Builds the plan over `bundle` and prints one line "load_seconds=..." with
// the resident memory before and after construction ("before_VmRSS=...",
// "constructed_VmRSS=...", in KiB).
template <class Plan> Plan load_plan(const std::string& bundle) {
  const std::string before = memory_fields("before");
  const auto start = Clock::now();
  Plan plan(bundle, false);
  std::cout << "load_seconds=" << std::chrono::duration<double>(Clock::now() - start).count()
            << before << memory_fields("constructed") << std::endl;
  return plan;
}

// The whole benchmark for a plan class built from (bundle path, verify).
template <class Plan> int run_document_bench(const char* program, int argc, char** argv) {
  if (argc < 3) {
    std::cerr << "usage: " << program
              << " <bundle-dir> <words.tsv> [threads ...] [--repeat N] [--no-process]\n";
    return 2;
  }
  const BenchOptions options = parse_options(argc, argv, 3, {"--no-process"});
  const int repeat = options.repeat;
  const bool with_process = options.flags.count("--no-process") == 0;

  const std::vector<Sentence> sentences = read_sentences(argv[2]);
  std::size_t words = 0;
  for (const Sentence& sentence : sentences) {
    words += sentence.size();
  }
  std::cout << "sentences=" << sentences.size() << " words=" << words << "\n";
  const Plan plan = load_plan<Plan>(argv[1]);

  for (const int count : options.threads) {
    at::set_num_threads(count);
    const double bulk = best_seconds(repeat, sentences, [&](std::vector<Document> documents) {
      plan.process_bulk(std::move(documents));
    });
    std::cout << "threads=" << count << " bulk_wps=" << static_cast<double>(words) / bulk;
    if (with_process) {
      const double single = best_seconds(repeat, sentences, [&](std::vector<Document> documents) {
        for (const Document& document : documents) {
          plan.process(document);
        }
      });
      std::cout << " process_wps=" << static_cast<double>(words) / single;
    }
    std::cout << std::endl;
  }
  return 0;
}

} // namespace velmora::bench
