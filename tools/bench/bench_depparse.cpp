// Throughput of the dependency parser: words per second of process_bulk (and
// of process, document by document) over tagged sentences; the arguments and
// the input format are those of document_bench.hpp. tools/bench/
// bench_depparse.py builds a realistic bundle and compares with the PyTorch
// reference.

#include <velmora/depparse.hpp>

#include "document_bench.hpp"

int main(int argc, char** argv) {
  return velmora::bench::run_document_bench<velmora::DepparsePlan>("velmora_bench_depparse", argc,
                                                                   argv);
}
