// Loading of the constituency parser: construction seconds and resident
// memory before and after it, as tools/bench/bench_constituency.py drives it.
//
//   velmora_bench_constituency <bundle-dir>

#include <iostream>

#include <velmora/constituency.hpp>

#include "document_bench.hpp"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: velmora_bench_constituency <bundle-dir>\n";
    return 2;
  }
  velmora::bench::load_plan<velmora::ConstituencyPlan>(argv[1]);
  return 0;
}
