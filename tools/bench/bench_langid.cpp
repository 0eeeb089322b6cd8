// Throughput of the language identifier: characters per second of
// LangIDProcessor::identify_many over sentence texts and of its process_bulk
// over document texts.
//
//   velmora_bench_langid <bundle-dir> <texts.json> [threads ...] [--repeat N]
//
// texts.json holds {"sentences": [...], "documents": [...]}. Each thread count
// (default: 1 and all cores) is measured after one warm-up run; the best of N
// runs is reported as one line "threads=T identify_cps=... bulk_cps=...".

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include <ATen/Parallel.h>

#include <velmora/document.hpp>
#include <velmora/json.hpp>
#include <velmora/processors.hpp>
#include <velmora/text.hpp>

#include "document_bench.hpp"

namespace {

using velmora::bench::Clock;

std::vector<std::string> strings(const velmora::detail::JsonValue& array) {
  std::vector<std::string> values;
  for (const auto& item : array.as_array()) {
    values.push_back(item.as_string());
  }
  return values;
}

std::uint64_t characters(const std::vector<std::string>& texts) {
  std::uint64_t count = 0;
  for (const std::string& text : texts) {
    count += velmora::Utf8Text(text).codepoint_count();
  }
  return count;
}

template <class Run> double fastest_seconds(int repeat, Run run) {
  run();
  double best = 1e30;
  for (int i = 0; i < repeat; ++i) {
    const auto start = Clock::now();
    run();
    best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
  }
  return best;
}

} // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::cerr << "usage: velmora_bench_langid <bundle-dir> <texts.json> [threads ...] "
                 "[--repeat N]\n";
    return 2;
  }
  const velmora::bench::BenchOptions options = velmora::bench::parse_options(argc, argv, 3);

  const velmora::detail::JsonValue texts = velmora::detail::load_json(argv[2]);
  const std::vector<std::string> sentences = strings(texts.at("sentences"));
  const std::vector<std::string> documents = strings(texts.at("documents"));
  const auto load_start = Clock::now();
  const velmora::LangIDProcessor processor(argv[1], false, {});
  std::cout << "load_seconds=" << std::chrono::duration<double>(Clock::now() - load_start).count()
            << " sentence_characters=" << characters(sentences)
            << " document_characters=" << characters(documents) << "\n";

  for (const int count : options.threads) {
    at::set_num_threads(count);
    const double identify =
        fastest_seconds(options.repeat, [&] { processor.identify_many(sentences); });
    const double bulk = fastest_seconds(options.repeat, [&] {
      std::vector<velmora::Document> docs;
      docs.reserve(documents.size());
      for (const std::string& text : documents) {
        docs.emplace_back(text);
      }
      processor.process_bulk(std::move(docs));
    });
    std::cout << "threads=" << count
              << " identify_cps=" << static_cast<double>(characters(sentences)) / identify
              << " bulk_cps=" << static_cast<double>(characters(documents)) / bulk << std::endl;
  }
  return 0;
}
