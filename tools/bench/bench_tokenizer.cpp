// Throughput of the native tokenizer: characters per second for process() and
// process_bulk() over the raw text of a CoNLL-U file, and the time process()
// takes on hostile texts of growing size.
//
//   velmora_bench_tokenizer BUNDLE CONLLU [--threads N] [--hostile-max BYTES]
//
// Prints one JSON object; tools/bench/bench_tokenizer.py runs it beside the
// PyTorch reference and reports the ratio.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

#include <ATen/Parallel.h>

#include <velmora/text.hpp>
#include <velmora/tokenizer.hpp>

#include "tokenize/patterns.hpp"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// One document per "# newdoc"; paragraphs ("# newpar") separated by a blank
// line, the sentences of a paragraph by one space.
std::vector<std::string> conllu_documents(const std::string& path) {
  std::ifstream in(path);
  if (!in) {
    throw std::runtime_error("cannot read " + path);
  }
  std::vector<std::string> documents;
  std::string line;
  bool new_paragraph = true;
  while (std::getline(in, line)) {
    if (line.rfind("# newdoc", 0) == 0 || documents.empty()) {
      documents.emplace_back();
      new_paragraph = true;
    }
    if (line.rfind("# newpar", 0) == 0) {
      new_paragraph = true;
    } else if (line.rfind("# text = ", 0) == 0) {
      std::string& text = documents.back();
      if (!text.empty()) {
        text += new_paragraph ? "\n\n" : " ";
      }
      text += line.substr(9);
      new_paragraph = false;
    }
  }
  return documents;
}

std::string repeat_to(const std::string& piece, std::size_t size) {
  std::string out;
  out.reserve(size + piece.size());
  while (out.size() < size) {
    out += piece;
  }
  // Never cut a multi-byte character.
  while (out.size() > size && (static_cast<unsigned char>(out[size]) & 0xC0) == 0x80) {
    ++size;
  }
  out.resize(size);
  return out;
}

std::vector<std::pair<std::string, std::string>> hostile_texts(std::size_t size) {
  std::string letters_at(size, 'q');
  letters_at[size / 2] = '@';
  return {
      {"no_spaces", repeat_to("Lorem.ipsum,dolor@sit-amet;consectetur/", size)},
      {"digits", std::string(size, '7')},
      {"lowercase_one_at", letters_at},
      {"combining_marks", "a" + repeat_to("\xCC\x81", size)},
      {"nul_bytes", repeat_to(std::string("ab\0\0c\0", 6), size)},
      {"dotted_run", repeat_to("a.", size)},
      {"dotted_pieces_2000", repeat_to(repeat_to("a.", 2000) + " ", size)},
  };
}

} // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::cerr << "usage: " << argv[0] << " BUNDLE CONLLU [--threads N] [--hostile-max BYTES]\n";
    return 2;
  }
  int threads = 1;
  std::size_t hostile_max = 1 << 20;
  for (int i = 3; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    if (option == "--threads") {
      threads = std::atoi(argv[i + 1]);
    } else if (option == "--hostile-max") {
      hostile_max = static_cast<std::size_t>(std::atoll(argv[i + 1]));
    }
  }
  if (threads > 0) {
    at::set_num_threads(threads);
  }

  const velmora::TokenizerPlan plan(argv[1], false);
  std::vector<velmora::Document> documents;
  std::uint64_t characters = 0;
  for (const std::string& text : conllu_documents(argv[2])) {
    documents.emplace_back(text);
    characters += documents.back().codepoint_count();
  }

  // One warm-up pass so that first-use costs (patterns, allocator) are out.
  (void)plan.process(documents.front());

  auto start = Clock::now();
  std::uint64_t tokens = 0;
  for (const velmora::Document& document : documents) {
    tokens += plan.process(document).num_tokens();
  }
  const double process_seconds = seconds_since(start);

  start = Clock::now();
  const std::vector<velmora::Document> bulk = plan.process_bulk(documents);
  const double bulk_seconds = seconds_since(start);

  std::cout << "{\"threads\": " << at::get_num_threads() << ", \"pattern_jit\": "
            << (velmora::detail::tokenize::url_email_pattern().jit_compiled() ? "true" : "false")
            << ", \"documents\": " << documents.size() << ", \"characters\": " << characters
            << ", \"tokens\": " << tokens << ", \"process_seconds\": " << process_seconds
            << ", \"process_chars_per_second\": " << characters / process_seconds
            << ", \"bulk_seconds\": " << bulk_seconds
            << ", \"bulk_chars_per_second\": " << characters / bulk_seconds << ", \"hostile\": [";
  bool first = true;
  for (const std::size_t size :
       {std::size_t{10} << 10, std::size_t{100} << 10, std::size_t{1} << 20}) {
    if (size > hostile_max) {
      break;
    }
    for (const auto& [name, text] : hostile_texts(size)) {
      const velmora::Document document(text);
      start = Clock::now();
      const velmora::Document result = plan.process(document);
      const double elapsed = seconds_since(start);
      std::cout << (first ? "" : ", ") << "{\"text\": \"" << name << "\", \"bytes\": " << size
                << ", \"seconds\": " << elapsed << ", \"tokens\": " << result.num_tokens() << "}"
                << std::flush;
      first = false;
    }
  }
  std::cout << "]}\n";
  return 0;
}
