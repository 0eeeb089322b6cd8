// Coreference throughput: words per second of CorefProcessor::process_bulk over
// documents, and the time of the word encoding apart from the scorers.
//
//   velmora_bench_coref <bundle-dir> <documents.json> [--threads 1,8]
//                       [--docs N] [--repeat N] [--long WORDS]
//
// documents.json is a list of {"sentences": [{"words": [...], "upos": [...]}]}
// (tools/bench/bench_coref.py writes it). Per thread count it prints
// "threads=T documents=D words=W bulk_seconds=S wps=R encode_seconds=E
// score_seconds=C", the best of N runs after a warm-up, with the encoder and
// scorer seconds summed over a separate pass of the model's steps. --long
// instead runs one document of the first WORDS words once and prints its
// seconds and the peak resident memory of the process.

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <ATen/Parallel.h>
#include <c10/core/InferenceMode.h>

#include <velmora/json.hpp>
#include <velmora/processors.hpp>

#include "coref/coref_impl.hpp"

namespace {

using namespace velmora;
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The sentences of each document as (words, UPOS) inputs.
std::vector<std::vector<SentenceInput>> read_documents(const std::string& path) {
  std::vector<std::vector<SentenceInput>> documents;
  const detail::JsonValue all = detail::load_json(path);
  for (const detail::JsonValue& document : all.as_array()) {
    auto& sentences = documents.emplace_back();
    for (const detail::JsonValue& sentence : document.at("sentences").as_array()) {
      SentenceInput& input = sentences.emplace_back();
      const auto& words = sentence.at("words").as_array();
      const auto& upos = sentence.at("upos").as_array();
      for (std::size_t w = 0; w < words.size(); ++w) {
        TokenInput& token = input.tokens.emplace_back();
        token.first_id = token.last_id = static_cast<std::int32_t>(w + 1);
        token.text = words[w].as_string();
        WordInput& word = token.words.emplace_back();
        word.id = token.first_id;
        word.text = token.text;
        if (!upos[w].is_null()) {
          word.upos = upos[w].as_string();
        }
      }
    }
  }
  return documents;
}

std::vector<Document> make_documents(const std::vector<std::vector<SentenceInput>>& inputs) {
  std::vector<Document> documents;
  for (const auto& sentences : inputs) {
    documents.emplace_back(std::string(), sentences);
  }
  return documents;
}

std::size_t count_words(const std::vector<std::vector<SentenceInput>>& inputs) {
  std::size_t words = 0;
  for (const auto& sentences : inputs) {
    for (const SentenceInput& sentence : sentences) {
      words += sentence.tokens.size();
    }
  }
  return words;
}

// A field of /proc/self/status in KiB ("VmHWM", "VmRSS"), -1 when absent.
long status_kib(const std::string& field) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(field + ":", 0) == 0) {
      return std::stol(line.substr(field.size() + 1));
    }
  }
  return -1;
}

// The peak resident size of this program. Not ru_maxrss: that survives exec
// and so starts at the size of the process that forked this one (a driver
// that has just compiled the package, say).
long peak_resident_kib() {
  return status_kib("VmHWM");
}

// Restarts VmHWM from the current resident size.
void reset_peak() {
  std::ofstream("/proc/self/clear_refs") << "5";
}

// Seconds of the word encoding and of everything after it, summed over the
// documents, each document resolved once.
std::pair<double, double> split_seconds(const CorefPlan::Impl& impl,
                                        const std::vector<std::vector<SentenceInput>>& inputs) {
  c10::InferenceMode guard;
  double encode = 0.0;
  double score = 0.0;
  for (const auto& sentences : inputs) {
    std::vector<std::string> words;
    std::vector<std::size_t> sentence_ids;
    std::vector<std::string> speakers;
    for (std::size_t s = 0; s < sentences.size(); ++s) {
      for (const TokenInput& token : sentences[s].tokens) {
        words.push_back(token.text);
        sentence_ids.push_back(s);
        speakers.emplace_back("_");
      }
    }
    if (words.empty()) {
      continue;
    }
    auto start = Clock::now();
    const at::Tensor vectors =
        detail::coref_word_vectors(impl, detail::coref_subword_vectors(impl, words, sentence_ids));
    encode += seconds_since(start);
    start = Clock::now();
    CorefPrediction prediction;
    prediction.word_clusters = detail::coref_word_clusters(impl, vectors, speakers);
    detail::coref_spans_and_zeros(impl, vectors, sentence_ids, prediction);
    score += seconds_since(start);
  }
  return {encode, score};
}

} // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::cerr << "usage: " << argv[0]
              << " <bundle-dir> <documents.json> [--threads 1,8] [--docs N] [--repeat N]"
                 " [--long WORDS]\n";
    return 2;
  }
  std::vector<int> threads = {1};
  std::size_t limit = 0;
  int repeat = 2;
  std::size_t long_words = 0;
  for (int i = 3; i + 1 < argc; i += 2) {
    const std::string flag = argv[i];
    const std::string value = argv[i + 1];
    if (flag == "--threads") {
      threads.clear();
      std::stringstream list(value);
      for (std::string item; std::getline(list, item, ',');) {
        threads.push_back(std::atoi(item.c_str()));
      }
    } else if (flag == "--docs") {
      limit = std::stoul(value);
    } else if (flag == "--repeat") {
      repeat = std::atoi(value.c_str());
    } else if (flag == "--long") {
      long_words = std::stoul(value);
    }
  }
  std::vector<std::vector<SentenceInput>> inputs = read_documents(argv[2]);
  if (limit > 0 && limit < inputs.size()) {
    inputs.resize(limit);
  }

  auto start = Clock::now();
  std::optional<CorefProcessor> processor(std::in_place, argv[1], false);
  std::cout << "load_seconds=" << seconds_since(start) << " load_peak_kib=" << peak_resident_kib()
            << "\n";

  if (long_words > 0) {
    // One document of the first sentences, long_words words at most.
    std::vector<SentenceInput> sentences;
    std::size_t words = 0;
    for (const auto& document : inputs) {
      for (const SentenceInput& sentence : document) {
        if (words + sentence.tokens.size() > long_words) {
          break;
        }
        words += sentence.tokens.size();
        sentences.push_back(sentence);
      }
    }
    at::set_num_threads(threads.front());
    Document document(std::string(), std::move(sentences));
    const long before = status_kib("VmRSS");
    const long loaded_peak = peak_resident_kib();
    reset_peak();
    start = Clock::now();
    processor->process(document);
    std::cout << "long_words=" << words << " long_seconds=" << seconds_since(start)
              << " peak_kib=" << std::max(loaded_peak, peak_resident_kib())
              << " before_kib=" << before << " document_peak_kib=" << status_kib("VmHWM")
              << " chains=" << document.coref().size() << "\n";
    return 0;
  }

  const std::size_t words = count_words(inputs);
  std::vector<double> bulk(threads.size(), 1e30);
  for (std::size_t t = 0; t < threads.size(); ++t) {
    at::set_num_threads(threads[t]);
    processor->process_bulk(make_documents({inputs.begin(), inputs.begin() + 1}));
    for (int r = 0; r < repeat; ++r) {
      std::vector<Document> documents = make_documents(inputs);
      start = Clock::now();
      processor->process_bulk(std::move(documents));
      bulk[t] = std::min(bulk[t], seconds_since(start));
    }
  }
  processor.reset();

  const CorefPlan::Impl impl(argv[1], false);
  for (std::size_t t = 0; t < threads.size(); ++t) {
    at::set_num_threads(threads[t]);
    const auto [encode, score] = split_seconds(impl, inputs);
    std::cout << "threads=" << threads[t] << " documents=" << inputs.size() << " words=" << words
              << " bulk_seconds=" << bulk[t] << " wps=" << static_cast<double>(words) / bulk[t]
              << " encode_seconds=" << encode << " score_seconds=" << score << "\n";
  }
  return 0;
}
