// The default pipeline ("tokenize,mwt,pos,lemma,depparse") over raw texts,
// as tools/bench/bench_pipeline.py drives it.
//
//   velmora_bench_pipeline <model-dir> throughput <documents.txt> [--threads 1,8] [--repeat N]
//   velmora_bench_pipeline <model-dir> load <documents.txt>
//   velmora_bench_pipeline <model-dir> scaling <documents.txt>... [--threads 1,8]
//   velmora_bench_pipeline <model-dir> stages <documents.txt> [--threads 1,8] [--repeat N]
//
// A documents file holds raw texts separated by lines holding only U+001E.
// Every measurement prints one line of key=value pairs:
//   throughput: per thread count, the best of N timed runs (after one
//     warm-up) of process_bulk over all documents and of process document by
//     document, then the seconds of each stage of one process_bulk run;
//   load: resident memory (VmRSS, RssAnon, RssFile of /proc/self/status, in
//     KiB) before construction, after it, after the first document and after
//     all of them, and the construction and first-document seconds;
//   scaling: per file and thread count, words per second of process over
//     each of its documents;
//   stages: per thread count, the seconds of each stage of process_bulk over
//     all documents, the best of N runs (after one warm-up), and the words
//     per second of their sum (a short form of throughput, for profiling).
// Words are the syntactic words of the annotated documents.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <ATen/Parallel.h>

#include <velmora/document.hpp>
#include <velmora/pipeline.hpp>

#include "pipeline/pipeline_call.hpp"
#include "process_memory.hpp"

namespace {

using velmora::bench::memory_fields;
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::vector<std::string> read_documents(const std::string& path) {
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

velmora::Pipeline make_pipeline(const std::string& model_dir) {
  return velmora::Pipeline("en", {"tokenize", "mwt", "pos", "lemma", "depparse"}, "default",
                           std::filesystem::path(model_dir), "1.14.0", false, {});
}

std::uint64_t count_words(const std::vector<velmora::Document>& documents) {
  std::uint64_t words = 0;
  for (const velmora::Document& document : documents) {
    words += document.num_words();
  }
  return words;
}

std::vector<velmora::Document> run_bulk(const velmora::Pipeline& pipeline,
                                        const std::vector<std::string>& texts) {
  return pipeline.process_bulk(std::vector<std::string>(texts));
}

std::vector<velmora::Document> run_each(const velmora::Pipeline& pipeline,
                                        const std::vector<std::string>& texts) {
  std::vector<velmora::Document> documents;
  documents.reserve(texts.size());
  for (const std::string& text : texts) {
    documents.push_back(pipeline.process(text));
  }
  return documents;
}

template <class Run> double best_seconds(int repeat, Run run) {
  double best = 1e30;
  for (int i = 0; i < repeat; ++i) {
    const auto start = Clock::now();
    run();
    best = std::min(best, seconds_since(start));
  }
  return best;
}

std::vector<int> parse_threads(const std::string& list) {
  std::vector<int> threads;
  std::stringstream stream(list);
  std::string item;
  while (std::getline(stream, item, ',')) {
    threads.push_back(std::atoi(item.c_str()));
  }
  return threads;
}

void throughput(const velmora::Pipeline& pipeline, const std::vector<std::string>& texts,
                const std::vector<int>& threads, int repeat) {
  const std::vector<std::string> warm(texts.begin(),
                                      texts.begin() + std::min<std::size_t>(texts.size(), 10));
  for (const int count : threads) {
    at::set_num_threads(count);
    run_bulk(pipeline, warm);
    std::uint64_t words = 0;
    const double bulk =
        best_seconds(repeat, [&] { words = count_words(run_bulk(pipeline, texts)); });
    const double each = best_seconds(repeat, [&] { run_each(pipeline, texts); });
    std::cout << "threads=" << count << " words=" << words << " documents=" << texts.size()
              << " bulk_seconds=" << bulk << " process_seconds=" << each
              << " bulk_wps=" << static_cast<double>(words) / bulk
              << " process_wps=" << static_cast<double>(words) / each << std::endl;

    // Where the time goes: the same chain, one stage at a time.
    std::vector<velmora::Document> documents;
    documents.reserve(texts.size());
    for (const std::string& text : texts) {
      documents.emplace_back(text);
    }
    std::cout << "threads=" << count << " stages";
    velmora::detail::PipelineCall call(
        velmora::detail::tagger_shares_backward_charlm(pipeline.processors()));
    for (const auto& processor : pipeline.processors()) {
      const auto start = Clock::now();
      documents = processor->process_bulk_in_call(std::move(documents), call);
      std::cout << " " << processor->name() << "=" << seconds_since(start);
    }
    std::cout << std::endl;
  }
}

void stages(const velmora::Pipeline& pipeline, const std::vector<std::string>& texts,
            const std::vector<int>& threads, int repeat) {
  const std::vector<std::string> warm(texts.begin(),
                                      texts.begin() + std::min<std::size_t>(texts.size(), 10));
  for (const int count : threads) {
    at::set_num_threads(count);
    run_bulk(pipeline, warm);
    std::map<std::string, double> best;
    std::vector<std::string> names;
    std::uint64_t words = 0;
    for (int i = 0; i < repeat; ++i) {
      std::vector<velmora::Document> documents(texts.begin(), texts.end());
      // As Pipeline::process_bulk runs them, sharing included.
      velmora::detail::PipelineCall call(
          velmora::detail::tagger_shares_backward_charlm(pipeline.processors()));
      for (const auto& processor : pipeline.processors()) {
        const auto start = Clock::now();
        documents = processor->process_bulk_in_call(std::move(documents), call);
        const double seconds = seconds_since(start);
        if (i == 0) {
          names.push_back(processor->name());
          best[processor->name()] = seconds;
        }
        best[processor->name()] = std::min(best[processor->name()], seconds);
      }
      words = count_words(documents);
    }
    double total = 0;
    std::cout << "threads=" << count << " words=" << words;
    for (const std::string& name : names) {
      std::cout << " " << name << "=" << best[name];
      total += best[name];
    }
    std::cout << " total_seconds=" << total << " bulk_wps=" << static_cast<double>(words) / total
              << std::endl;
  }
}

void load(const std::string& model_dir, const std::vector<std::string>& texts) {
  std::cout << "load" << memory_fields("before");
  const auto start = Clock::now();
  const velmora::Pipeline pipeline = make_pipeline(model_dir);
  std::cout << " construct_seconds=" << seconds_since(start) << memory_fields("constructed");
  const auto first = Clock::now();
  pipeline.process(texts.front());
  std::cout << " first_seconds=" << seconds_since(first) << memory_fields("first");
  run_bulk(pipeline, texts);
  std::cout << memory_fields("all") << std::endl;
}

void scaling(const velmora::Pipeline& pipeline, const std::vector<std::string>& files,
             const std::vector<int>& threads) {
  for (const std::string& file : files) {
    const std::vector<std::string> texts = read_documents(file);
    for (const int count : threads) {
      at::set_num_threads(count);
      run_each(pipeline, std::vector<std::string>(texts.begin(), texts.begin() + 1));
      std::uint64_t words = 0;
      const double each = best_seconds(1, [&] { words = count_words(run_each(pipeline, texts)); });
      std::cout << "file=" << file << " threads=" << count << " documents=" << texts.size()
                << " words=" << words << " process_wps=" << static_cast<double>(words) / each
                << std::endl;
    }
  }
}

} // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::cerr << "usage: velmora_bench_pipeline <model-dir> throughput|load|scaling|stages "
                 "<documents.txt>... [--threads 1,8] [--repeat N]\n";
    return 2;
  }
  const std::string model_dir = argv[1];
  const std::string mode = argv[2];
  std::vector<std::string> files;
  std::vector<int> threads = {1,
                              static_cast<int>(std::max(1u, std::thread::hardware_concurrency()))};
  int repeat = 1;
  for (int i = 3; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--threads" && i + 1 < argc) {
      threads = parse_threads(argv[++i]);
    } else if (arg == "--repeat" && i + 1 < argc) {
      repeat = std::atoi(argv[++i]);
    } else {
      files.push_back(arg);
    }
  }
  try {
    if (mode == "load") {
      load(model_dir, read_documents(files.at(0)));
      return 0;
    }
    const velmora::Pipeline pipeline = make_pipeline(model_dir);
    if (mode == "throughput") {
      throughput(pipeline, read_documents(files.at(0)), threads, repeat);
    } else if (mode == "stages") {
      stages(pipeline, read_documents(files.at(0)), threads, repeat);
    } else if (mode == "scaling") {
      scaling(pipeline, files, threads);
    } else {
      std::cerr << "unknown mode: " << mode << "\n";
      return 2;
    }
  } catch (const std::exception& error) {
    std::cerr << "velmora_bench_pipeline: " << error.what() << "\n";
    return 1;
  }
  return 0;
}
