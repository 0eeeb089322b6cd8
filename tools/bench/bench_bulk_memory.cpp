// One bulk call of a pipeline over raw texts, as tools/bench/bench_bulk_memory.py
// drives it: its peak resident growth, its speed and what stays resident
// after it.
//
//   velmora_bench_bulk_memory <model-dir> <documents.txt> <processors>
//       [--slice-words N] [--stages]
//
// A documents file holds raw texts separated by lines holding only U+001E.
// The pipeline is built and warmed up on the first three documents; then,
// from the resident memory at that point (the baseline), one process_bulk
// over all documents prints one line:
//   words, seconds, words per second, peak_growth_kib (peak resident memory
//   during the call over the baseline), held_kib (resident over the baseline
//   once the call returned, its documents still held) and dropped_kib (the
//   same after the documents are dropped), and of these the anonymous part
//   (peak_anon_kib sampled every few milliseconds, held_anon_kib,
//   dropped_anon_kib): the rest is the bundles' mapped pages the call read.
// With --stages, every processor's own process_bulk runs in turn over the
// documents the ones before it returned, and each prints its peak growth
// over the resident memory at its start and its seconds.
// --slice-words sets the words of a bulk call's slices (default: the
// library's own). The thread count is the process's (OMP_NUM_THREADS).

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include <velmora/pipeline.hpp>
#include <velmora/processor.hpp>

#include "process_memory.hpp"
#include "text_documents.hpp"

// A build from before bulk calls ran in slices has no budget to set; the
// benchmark measures it too, for the ratios of before and after.
#if __has_include("encoders/bulk_slices.hpp")
#include "encoders/bulk_slices.hpp"
#define VELMORA_BULK_SLICES 1
#endif

namespace {

using Clock = std::chrono::steady_clock;
using velmora::bench::peak_kib;
using velmora::bench::reset_peak;

long resident_kib() {
  return velmora::bench::memory_kib()["VmRSS"];
}

long anon_kib() {
  return velmora::bench::memory_kib()["RssAnon"];
}

// The largest anonymous resident memory while alive, read every 5 ms.
class AnonPeak {
public:
  AnonPeak()
      : peak_(anon_kib()), sampler_([this] {
          while (!stop_.load()) {
            peak_.store(std::max(peak_.load(), anon_kib()));
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
          }
        }) {}
  ~AnonPeak() { stop(); }
  long stop() {
    if (sampler_.joinable()) {
      stop_.store(true);
      sampler_.join();
    }
    return peak_.load();
  }

private:
  std::atomic<long> peak_;
  std::atomic<bool> stop_{false};
  std::thread sampler_;
};

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::vector<std::string> split_list(const std::string& list) {
  std::vector<std::string> items;
  std::size_t start = 0;
  while (start <= list.size()) {
    const std::size_t end = list.find(',', start);
    items.push_back(list.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) {
      break;
    }
    start = end + 1;
  }
  return items;
}

std::uint64_t count_words(const std::vector<velmora::Document>& documents) {
  std::uint64_t words = 0;
  for (const velmora::Document& document : documents) {
    words += document.num_words();
  }
  return words;
}

} // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::cerr << "usage: velmora_bench_bulk_memory <model-dir> <documents.txt> <processors> "
                 "[--slice-words N] [--stages]\n";
    return 2;
  }
  const std::string model_dir = argv[1];
  const std::vector<std::string> texts = velmora::bench::read_documents(argv[2]);
  const std::vector<std::string> processors = split_list(argv[3]);
  std::size_t slice_words = 0;
  bool stages = false;
  for (int i = 4; i < argc; ++i) {
    const std::string flag = argv[i];
    if (flag == "--slice-words" && i + 1 < argc) {
      slice_words = std::strtoull(argv[++i], nullptr, 10);
    } else if (flag == "--stages") {
      stages = true;
    } else {
      std::cerr << "unknown argument: " << flag << "\n";
      return 2;
    }
  }
#if defined(VELMORA_BULK_SLICES)
  if (slice_words == 0) {
    slice_words = velmora::detail::kBulkSliceWords;
  }
  const velmora::detail::BulkSliceBudget budget(slice_words);
#endif
  const velmora::Pipeline pipeline("en", processors, "default", std::filesystem::path(model_dir),
                                   "1.14.0", false, {});
  pipeline.process_bulk(std::vector<std::string>(
      texts.begin(), texts.begin() + std::min<std::size_t>(3, texts.size())));

  std::vector<velmora::Document> documents(texts.begin(), texts.end());
  const long baseline = resident_kib();
  const long anon_baseline = anon_kib();
  if (stages) {
    for (const auto& processor : pipeline.processors()) {
      const long start_kib = resident_kib();
      reset_peak();
      const auto start = Clock::now();
      documents = processor->process_bulk(std::move(documents));
      std::cout << "stage=" << processor->name() << " seconds=" << seconds_since(start)
                << " peak_growth_kib=" << peak_kib() - start_kib
                << " held_kib=" << resident_kib() - baseline << std::endl;
    }
    return 0;
  }
  reset_peak();
  AnonPeak anon_peak;
  const auto start = Clock::now();
  documents = pipeline.process_bulk(std::move(documents));
  const double seconds = seconds_since(start);
  const long peak_anon = anon_peak.stop() - anon_baseline;
  const long peak = peak_kib() - baseline;
  const long held = resident_kib() - baseline;
  const long held_anon = anon_kib() - anon_baseline;
  const std::uint64_t words = count_words(documents);
  documents = {};
  std::cout << "words=" << words << " documents=" << texts.size() << " seconds=" << seconds
            << " wps=" << static_cast<double>(words) / seconds << " peak_growth_kib=" << peak
            << " peak_anon_kib=" << peak_anon << " held_kib=" << held
            << " held_anon_kib=" << held_anon << " dropped_kib=" << resident_kib() - baseline
            << " dropped_anon_kib=" << anon_kib() - anon_baseline << " slice_words=" << slice_words
            << std::endl;
  return 0;
}
