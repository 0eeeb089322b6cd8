// Throughput of the sentiment classifier: words per second of process_bulk
// (and of process, document by document) over pre-split sentences; the
// arguments and the input format are those of document_bench.hpp (only the
// text field is read, as each word's token text). tools/bench/bench_sentiment.py
// builds realistic bundles and compares with the PyTorch reference.

#include <velmora/sentiment.hpp>

#include "document_bench.hpp"

int main(int argc, char** argv) {
  return velmora::bench::run_document_bench<velmora::SentimentPlan>("velmora_bench_sentiment", argc,
                                                                    argv);
}
