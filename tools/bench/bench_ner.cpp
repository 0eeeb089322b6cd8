// Throughput of the entity tagger: words per second of process, document by
// document, over pre-split token lists. tools/bench/bench_ner.py builds
// realistic bundles and compares with the PyTorch reference.
//
//   velmora_bench_ner <bundle-dir> <tokens.tsv> <documents.txt> [threads ...] [--repeat N]
//
// tokens.tsv holds one token text per line with an empty line after each
// sentence (the words file of document_bench.hpp); documents.txt the number
// of sentences of each document, one a line. Each thread count (default: 1
// and all cores) is measured after one warm-up run; the best of N runs is
// reported as "threads=T process_wps=...".

#include <fstream>

#include <velmora/ner.hpp>

#include "document_bench.hpp"

namespace {

using velmora::Document;
using velmora::bench::Sentence;

std::vector<Document> documents_of(const std::vector<Sentence>& all,
                                   const std::vector<std::size_t>& counts) {
  std::vector<Document> documents;
  std::size_t first = 0;
  for (const std::size_t count : counts) {
    std::vector<velmora::SentenceInput> inputs;
    for (std::size_t s = first; s < std::min(all.size(), first + count); ++s) {
      velmora::SentenceInput& sentence = inputs.emplace_back();
      for (const velmora::WordInput& word : all[s]) {
        velmora::TokenInput& token = sentence.tokens.emplace_back();
        token.first_id = token.last_id = word.id;
        token.text = word.text;
        token.words.push_back(word);
      }
    }
    first += count;
    documents.emplace_back(std::string(), std::move(inputs));
  }
  return documents;
}

} // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::cerr << "usage: velmora_bench_ner <bundle-dir> <tokens.tsv> <documents.txt> "
                 "[threads ...] [--repeat N]\n";
    return 2;
  }
  const velmora::bench::BenchOptions options = velmora::bench::parse_options(argc, argv, 4);
  const std::vector<int>& threads = options.threads;
  const int repeat = options.repeat;
  const std::vector<Sentence> sentences = velmora::bench::read_sentences(argv[2]);
  std::vector<std::size_t> counts;
  std::ifstream in(argv[3]);
  for (std::size_t count = 0; in >> count;) {
    counts.push_back(count);
  }
  std::size_t words = 0;
  for (const Sentence& sentence : sentences) {
    words += sentence.size();
  }

  const auto load_start = velmora::bench::Clock::now();
  const velmora::NERPlan plan(argv[1], false);
  std::cout << "load_seconds="
            << std::chrono::duration<double>(velmora::bench::Clock::now() - load_start).count()
            << " documents=" << counts.size() << " sentences=" << sentences.size()
            << " words=" << words << std::endl;

  for (const int count : threads) {
    at::set_num_threads(count);
    double best = 1e30;
    for (int run = 0; run <= repeat; ++run) {
      const std::vector<Document> documents = documents_of(sentences, counts);
      const auto start = velmora::bench::Clock::now();
      for (const Document& document : documents) {
        plan.process(document);
      }
      const double seconds =
          std::chrono::duration<double>(velmora::bench::Clock::now() - start).count();
      if (run > 0) { // the first run warms up
        best = std::min(best, seconds);
      }
    }
    std::cout << "threads=" << count << " process_wps=" << static_cast<double>(words) / best
              << std::endl;
  }
  return 0;
}
