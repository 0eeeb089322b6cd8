// Throughput of the morphological segmenter: words per second of
// MorphSegProcessor's process_bulk (and of process, document by document)
// over pre-split sentences; the arguments and the input format are those of
// document_bench.hpp (only the text field is read). tools/bench/bench_morphseg.py
// builds a bundle of realistic size and compares with the PyTorch reference.

#include <velmora/processors.hpp>

#include "document_bench.hpp"

int main(int argc, char** argv) {
  return velmora::bench::run_document_bench<velmora::MorphSegProcessor>("velmora_bench_morphseg",
                                                                        argc, argv);
}
