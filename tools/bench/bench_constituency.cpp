// The constituency parser as tools/bench/bench_constituency.py drives it.
//
//   velmora_bench_constituency <bundle-dir>
//     loading only: one line "load_seconds=..." with the resident memory
//     before and after construction;
//   velmora_bench_constituency <bundle-dir> <words.tsv> [threads ...] [--repeat N]
//     the document benchmark of document_bench.hpp (words with their XPOS).

#include <velmora/constituency.hpp>

#include "document_bench.hpp"

int main(int argc, char** argv) {
  if (argc == 2) {
    velmora::bench::load_plan<velmora::ConstituencyPlan>(argv[1]);
    return 0;
  }
  return velmora::bench::run_document_bench<velmora::ConstituencyPlan>("velmora_bench_constituency",
                                                                       argc, argv);
}
