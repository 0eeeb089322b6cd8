// Throughput of the part-of-speech tagger: words per second of process_bulk
// (and of process, document by document) over pre-split sentences; the
// arguments and the input format are those of document_bench.hpp (only the
// text field is read). tools/bench/bench_pos.py builds realistic bundles and
// compares with the PyTorch reference.

#include <velmora/pos.hpp>

#include "document_bench.hpp"

int main(int argc, char** argv) {
  return velmora::bench::run_document_bench<velmora::POSPlan>("velmora_bench_pos", argc, argv);
}
