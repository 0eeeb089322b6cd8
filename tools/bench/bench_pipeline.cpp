// A pipeline (by default "tokenize,mwt,pos,lemma,depparse") over raw texts,
// as tools/bench/bench_pipeline.py drives it. Every mode takes
// --processors LIST to run another list of processors.
//
//   velmora_bench_pipeline <model-dir> throughput <documents.txt> [--threads 1,8] [--repeat N]
//   velmora_bench_pipeline <model-dir> load <documents.txt>
//   velmora_bench_pipeline <model-dir> scaling <documents.txt>... [--threads 1,8]
//   velmora_bench_pipeline <model-dir> stages <documents.txt> [--threads 1,8] [--repeat N]
//   velmora_bench_pipeline <model-dir> parts <documents.txt>
//
// A documents file holds raw texts separated by lines holding only U+001E.
// Every measurement prints one line of key=value pairs:
//   throughput: per thread count, the best of N timed runs (after one
//     warm-up) of process_bulk over all documents and of process document by
//     document, then the seconds of each stage of one process_bulk run;
//   load: resident memory (VmRSS, RssAnon, RssFile of /proc/self/status, in
//     KiB) before construction, after it, after the first document and after
//     all of them, and the construction and first-document seconds;
//   scaling: per file and thread count, words per second of process over
//     each of its documents;
//   stages: per thread count, the seconds of each stage of process_bulk over
//     all documents, the best of N runs (after one warm-up), and the words
//     per second of their sum (a short form of throughput, for profiling);
//   parts: at one thread, the seconds and GFLOP/s (multiply-adds of the real
//     rows, padding not counted, times two) of the tagger's and the parser's
//     character language models, highway LSTMs and heads or scorers over the
//     annotated documents, and the peak of a 2048 x 2048 x 2048 product
//     through the BLAS library and through oneDNN in the same run.
// Words are the syntactic words of the annotated documents.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <ATen/ATen.h>
#include <ATen/Parallel.h>
#include <c10/core/InferenceMode.h>

#include <velmora/depparse.hpp>
#include <velmora/document.hpp>
#include <velmora/pipeline.hpp>
#include <velmora/pos.hpp>
#include <velmora/processors.hpp>

#include "depparse/depparse_impl.hpp"
#include "depparse/depparse_words.hpp"
#include "depparse/relation_scorer.hpp"
#include "depparse/tree_decoding.hpp"
#include "encoders/products.hpp"
#include "pipeline/pipeline_call.hpp"
#include "process_memory.hpp"
#include "taggers/pos_impl.hpp"
#include "text_documents.hpp"

namespace {

using velmora::bench::memory_fields;
using velmora::bench::read_documents;
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

velmora::Pipeline make_pipeline(const std::string& model_dir,
                                const std::vector<std::string>& processors) {
  return velmora::Pipeline("en", processors, "default", std::filesystem::path(model_dir), "1.14.0",
                           false, {});
}

std::uint64_t count_words(const std::vector<velmora::Document>& documents) {
  std::uint64_t words = 0;
  for (const velmora::Document& document : documents) {
    words += document.num_words();
  }
  return words;
}

std::vector<velmora::Document> run_bulk(const velmora::Pipeline& pipeline,
                                        const std::vector<std::string>& texts) {
  return pipeline.process_bulk(std::vector<std::string>(texts));
}

std::vector<velmora::Document> run_each(const velmora::Pipeline& pipeline,
                                        const std::vector<std::string>& texts) {
  std::vector<velmora::Document> documents;
  documents.reserve(texts.size());
  for (const std::string& text : texts) {
    documents.push_back(pipeline.process(text));
  }
  return documents;
}

template <class Run> double best_seconds(int repeat, Run run) {
  double best = 1e30;
  for (int i = 0; i < repeat; ++i) {
    const auto start = Clock::now();
    run();
    best = std::min(best, seconds_since(start));
  }
  return best;
}

std::vector<std::string> split_list(const std::string& list) {
  std::vector<std::string> items;
  std::stringstream stream(list);
  std::string item;
  while (std::getline(stream, item, ',')) {
    if (!item.empty()) {
      items.push_back(item);
    }
  }
  return items;
}

std::vector<int> parse_threads(const std::string& list) {
  std::vector<int> threads;
  for (const std::string& item : split_list(list)) {
    threads.push_back(std::atoi(item.c_str()));
  }
  return threads;
}

// Sets the thread count and runs the first ten texts once.
void warm_up(const velmora::Pipeline& pipeline, const std::vector<std::string>& texts, int count) {
  at::set_num_threads(count);
  run_bulk(pipeline, std::vector<std::string>(
                         texts.begin(), texts.begin() + std::min<std::size_t>(texts.size(), 10)));
}

void throughput(const velmora::Pipeline& pipeline, const std::vector<std::string>& texts,
                const std::vector<int>& threads, int repeat) {
  for (const int count : threads) {
    warm_up(pipeline, texts, count);
    std::uint64_t words = 0;
    const double bulk =
        best_seconds(repeat, [&] { words = count_words(run_bulk(pipeline, texts)); });
    const double each = best_seconds(repeat, [&] { run_each(pipeline, texts); });
    std::cout << "threads=" << count << " words=" << words << " documents=" << texts.size()
              << " bulk_seconds=" << bulk << " process_seconds=" << each
              << " bulk_wps=" << static_cast<double>(words) / bulk
              << " process_wps=" << static_cast<double>(words) / each << std::endl;

    // Where the time goes: the same chain, one stage at a time.
    std::vector<velmora::Document> documents;
    documents.reserve(texts.size());
    for (const std::string& text : texts) {
      documents.emplace_back(text);
    }
    std::cout << "threads=" << count << " stages";
    velmora::detail::PipelineCall call(
        velmora::detail::stages_sharing_backward_charlm(pipeline.processors()).has_value());
    for (const auto& processor : pipeline.processors()) {
      const auto start = Clock::now();
      documents = processor->process_bulk_in_call(std::move(documents), call);
      std::cout << " " << processor->name() << "=" << seconds_since(start);
    }
    std::cout << std::endl;
  }
}

void stages(const velmora::Pipeline& pipeline, const std::vector<std::string>& texts,
            const std::vector<int>& threads, int repeat) {
  for (const int count : threads) {
    warm_up(pipeline, texts, count);
    std::map<std::string, double> best;
    std::vector<std::string> names;
    std::uint64_t words = 0;
    for (int i = 0; i < repeat; ++i) {
      std::vector<velmora::Document> documents(texts.begin(), texts.end());
      // As Pipeline::process_bulk runs them, sharing included.
      velmora::detail::PipelineCall call(
          velmora::detail::stages_sharing_backward_charlm(pipeline.processors()).has_value());
      for (const auto& processor : pipeline.processors()) {
        const auto start = Clock::now();
        documents = processor->process_bulk_in_call(std::move(documents), call);
        const double seconds = seconds_since(start);
        if (i == 0) {
          names.push_back(processor->name());
          best[processor->name()] = seconds;
        }
        best[processor->name()] = std::min(best[processor->name()], seconds);
      }
      words = count_words(documents);
    }
    double total = 0;
    std::cout << "threads=" << count << " words=" << words;
    for (const std::string& name : names) {
      std::cout << " " << name << "=" << best[name];
      total += best[name];
    }
    std::cout << " total_seconds=" << total << " bulk_wps=" << static_cast<double>(words) / total
              << std::endl;
  }
}

std::int64_t code_points(const std::string& word) {
  std::int64_t count = 0;
  for (const char byte : word) {
    count += (static_cast<unsigned char>(byte) & 0xC0) != 0x80 ? 1 : 0;
  }
  return count;
}

// Multiply-adds per row and step of a stack of LSTM weights in `tensors`
// whose names start with `prefix` and contain "weight_".
template <class Map> std::int64_t lstm_macs(const Map& tensors, const std::string& prefix) {
  std::int64_t macs = 0;
  for (const auto& [name, tensor] : tensors) {
    if (name.rfind(prefix, 0) == 0 && name.find("weight_") != std::string::npos &&
        name.find("lstm") != std::string::npos) {
      macs += tensor.numel();
    }
  }
  return macs;
}

template <class Run> double timed(Run run) {
  const auto start = Clock::now();
  run();
  return seconds_since(start);
}

void report_part(const std::string& name, double seconds, double macs) {
  std::cout << "part=" << name << " seconds=" << seconds << " gflops=" << 2 * macs / seconds / 1e9
            << std::endl;
}

void parts(const velmora::Pipeline& pipeline, const std::vector<std::string>& texts) {
  at::set_num_threads(1);
  c10::InferenceMode mode;
  {
    const at::Tensor a = at::randn({2048, 2048});
    const double macs = 2048.0 * 2048 * 2048;
    at::mm(a, a);
    velmora::detail::linear(a, a);
    double blas = 1e30;
    double onednn = 1e30;
    for (int i = 0; i < 5; ++i) {
      blas = std::min(blas, timed([&] { at::mm(a, a); }));
      onednn = std::min(onednn, timed([&] { velmora::detail::linear(a, a); }));
    }
    report_part("peak_blas", blas, macs);
    report_part("peak_onednn", onednn, macs);
  }
  const velmora::POSPlan* tagger = nullptr;
  const velmora::DepparsePlan* parser = nullptr;
  std::vector<velmora::Document> documents(texts.begin(), texts.end());
  for (const auto& processor : pipeline.processors()) {
    if (const auto* stage = dynamic_cast<const velmora::POSProcessor*>(processor.get())) {
      tagger = stage->plan();
    }
    if (const auto* stage = dynamic_cast<const velmora::DepparseProcessor*>(processor.get())) {
      parser = stage->plan();
      break; // the parser's input: the documents as the stages before it left them
    }
    documents = processor->process_bulk(std::move(documents));
  }
  if (tagger == nullptr || parser == nullptr || !tagger->impl().use_charlm ||
      !parser->impl().use_charlm) {
    throw std::runtime_error("parts needs a tagger and a parser with character models");
  }
  std::vector<std::vector<std::string>> words;
  std::vector<std::vector<velmora::DepparseWord>> parser_words;
  for (const velmora::Document& document : documents) {
    const velmora::SentenceSequence sentences = document.sentences();
    for (std::uint64_t i = 0; i < sentences.size(); ++i) {
      const velmora::WordSequence sequence = sentences.at(static_cast<std::int64_t>(i)).words();
      parser_words.push_back(velmora::detail::collect_depparse_words(sequence));
      std::vector<std::string>& texts_of = words.emplace_back();
      for (const velmora::DepparseWord& word : parser_words.back()) {
        texts_of.push_back(word.text);
      }
    }
  }
  // Steps of the character streams: a start symbol, then each word and its
  // closing space; the parser's also read the root ("\n" and a space).
  double steps = 0;
  double rows = 0;
  double pairs = 0;
  for (const auto& sentence : words) {
    if (sentence.empty()) {
      continue;
    }
    steps += 1;
    for (const std::string& word : sentence) {
      steps += static_cast<double>(code_points(word) + 1);
    }
    const auto n = static_cast<double>(sentence.size());
    rows += n;
    pairs += (n + 1) * (n + 1);
  }
  const double sentences_with_words = static_cast<double>(
      std::count_if(words.begin(), words.end(), [](const auto& w) { return !w.empty(); }));

  const velmora::POSPlan::Impl& pos = tagger->impl();
  const double pos_lm = static_cast<double>(lstm_macs(pos.tensors, "charmodel_forward."));
  std::vector<at::Tensor> forward;
  std::vector<at::Tensor> backward;
  std::vector<at::Tensor> rooted;
  report_part("pos_charlm_forward",
              timed([&] { forward = pos.charlm_forward->encode_many(words); }), steps * pos_lm);
  report_part("charlm_backward_shared",
              timed([&] { rooted = pos.charlm_backward->encode_many_rooted(words, "\n"); }),
              (steps + 2 * sentences_with_words) * pos_lm);
  for (std::size_t s = 0; s < words.size(); ++s) {
    backward.push_back(words[s].empty() ? rooted[s]
                                        : rooted[s].narrow(0, 1, rooted[s].size(0) - 1));
  }
  const auto unshared = pos.charlm_backward->encode_many(words);
  bool identical = true;
  for (std::size_t s = 0; s < words.size(); ++s) {
    identical = identical && at::equal(unshared[s], backward[s]);
  }
  std::cout << "shared_backward_rows_bit_identical=" << (identical ? 1 : 0) << std::endl;
  double pos_highway = 0;
  for (const auto& layer : pos.tagger_layers) {
    pos_highway += 2 * static_cast<double>(layer.lstm[0].numel() + layer.lstm[1].numel()) +
                   static_cast<double>(layer.highway_weight.numel() + layer.gate_weight.numel());
  }
  std::vector<at::Tensor> encoded;
  report_part("pos_highway", timed([&] { encoded = pos.encode_batch(words, forward, backward); }),
              rows * pos_highway);
  const double heads = static_cast<double>(pos.tensor("upos_hid.weight").numel() +
                                           pos.tensor("xpos_hid.weight").numel() +
                                           pos.tensor("ufeats_hid.weight").numel());
  report_part("pos_heads", timed([&] { pos.predict_batch(encoded, words); }), rows * heads);

  const velmora::DepparsePlan::Impl& dep = parser->impl();
  const double dep_lm = static_cast<double>(lstm_macs(dep.tensors, "charmodel_forward."));
  report_part("dep_charlm_forward",
              timed([&] { forward = dep.charlm_forward->encode_many_rooted(words, "\n"); }),
              (steps + 2 * sentences_with_words) * dep_lm);
  double dep_highway = 0;
  for (const auto& layer : dep.parser_layers) {
    dep_highway += 2 * static_cast<double>(layer.lstm[0].numel() + layer.lstm[1].numel()) +
                   static_cast<double>(layer.highway_weight.numel() + layer.gate_weight.numel());
  }
  const double positions = rows + sentences_with_words;
  report_part("dep_highway",
              timed([&] { encoded = dep.encode_batch(parser_words, forward, rooted); }),
              positions * dep_highway);
  double per_row = 0;
  double per_pair = 0;
  // Arc scorers only: relations are scored for the pairs the decoder reads.
  for (const char* prefix : {"unlabeled", "linearization", "distance"}) {
    const std::string name = std::string(prefix) + ".scorer.W_bilin.weight";
    if (dep.tensors.find(name) == dep.tensors.end()) {
      continue;
    }
    const at::Tensor& weight = dep.tensor(name);
    per_row += static_cast<double>(dep.tensor(std::string(prefix) + ".W1.weight").numel() +
                                   dep.tensor(std::string(prefix) + ".W2.weight").numel() +
                                   weight.numel());
    per_pair += static_cast<double>(weight.size(1) * weight.size(2));
  }
  std::vector<at::Tensor> arcs;
  report_part("dep_scorers", timed([&] { arcs = dep.score_batch(encoded, parser_words); }),
              positions * per_row + pairs * per_pair);

  // The relation scorer over the arcs of every sentence's first tree (the
  // ones a decode always asks for), in the layout the parser runs and in the
  // arc-first order it ran before, side by side. Both count the arc-first
  // multiply-adds, so their GFLOP/s compare as speeds.
  std::vector<at::Tensor> sentence_rows;
  std::vector<std::vector<std::int64_t>> trees;
  for (std::size_t s = 0; s < parser_words.size(); ++s) {
    if (!parser_words[s].empty()) {
      at::Tensor scores = arcs[s];
      trees.push_back(velmora::detail::decode_single_root(
          velmora::DepparsePlan::Impl::arc_score_matrix(scores)));
      sentence_rows.push_back(encoded[s].squeeze(0));
    }
  }
  const velmora::detail::RelationWeights& relation = dep.relation_weights;
  const double relation_macs = positions * static_cast<double>(relation.dependent_weight.numel() +
                                                               relation.head_weight.numel()) +
                               rows * static_cast<double>(relation.bilinear.numel());
  double distinct_heads = 0;
  for (const auto& tree : trees) {
    std::vector<std::int64_t> heads(tree.begin() + 1, tree.end());
    std::sort(heads.begin(), heads.end());
    distinct_heads += static_cast<double>(std::unique(heads.begin(), heads.end()) - heads.begin());
  }
  // The work the head-first layout does: each distinct head meets the whole
  // weight once, each arc a [dependent width + 1, labels] product.
  const double relation_head_first_macs =
      relation_macs - rows * static_cast<double>(relation.bilinear.numel()) +
      distinct_heads * static_cast<double>(relation.bilinear.numel()) +
      rows * static_cast<double>(relation.dependent_width * relation.labels);
  std::cout << "relation_arcs=" << rows << " relation_distinct_heads=" << distinct_heads
            << " relation_head_first_work_share=" << relation_head_first_macs / relation_macs
            << std::endl;
  report_part(
      "dep_relations", timed([&] {
        constexpr std::int64_t kGroupPositions = 384; // as the parser groups them
        for (std::size_t first = 0; first < sentence_rows.size();) {
          std::size_t last = first;
          std::int64_t group_positions = 0;
          while (
              last < sentence_rows.size() &&
              (last == first || group_positions + sentence_rows[last].size(0) <= kGroupPositions)) {
            group_positions += sentence_rows[last++].size(0);
          }
          velmora::detail::BiaffineRelationScores::with_trees(
              relation,
              std::vector<at::Tensor>(sentence_rows.begin() + static_cast<std::ptrdiff_t>(first),
                                      sentence_rows.begin() + static_cast<std::ptrdiff_t>(last)),
              std::vector<std::vector<std::int64_t>>(
                  trees.begin() + static_cast<std::ptrdiff_t>(first),
                  trees.begin() + static_cast<std::ptrdiff_t>(last)));
          first = last;
        }
      }),
      relation_macs);
  report_part(
      "dep_relations_arc_first", timed([&] {
        for (std::size_t s = 0; s < sentence_rows.size(); ++s) {
          const auto side = [&](const at::Tensor& w, const at::Tensor& b) {
            return at::cat({at::relu(at::linear(sentence_rows[s], w, b)),
                            at::ones({sentence_rows[s].size(0), 1}, sentence_rows[s].options())},
                           1);
          };
          const at::Tensor dependent = side(relation.dependent_weight, relation.dependent_bias);
          const at::Tensor head = side(relation.head_weight, relation.head_bias);
          const std::int64_t n = sentence_rows[s].size(0) - 1;
          const at::Tensor heads =
              at::tensor(std::vector<std::int64_t>(trees[s].begin() + 1, trees[s].end()));
          const at::Tensor product = at::matmul(dependent.narrow(0, 1, n), relation.bilinear)
                                         .view({n, relation.head_width, relation.labels});
          at::log_softmax(at::bmm(head.index_select(0, heads).unsqueeze(1), product).squeeze(1) +
                              relation.bias,
                          1);
        }
      }),
      relation_macs);
}

void load(const std::string& model_dir, const std::vector<std::string>& processors,
          const std::vector<std::string>& texts) {
  std::cout << "load" << memory_fields("before");
  const auto start = Clock::now();
  const velmora::Pipeline pipeline = make_pipeline(model_dir, processors);
  std::cout << " construct_seconds=" << seconds_since(start) << memory_fields("constructed");
  const auto first = Clock::now();
  pipeline.process(texts.front());
  std::cout << " first_seconds=" << seconds_since(first) << memory_fields("first");
  run_bulk(pipeline, texts);
  std::cout << memory_fields("all") << std::endl;
}

void scaling(const velmora::Pipeline& pipeline, const std::vector<std::string>& files,
             const std::vector<int>& threads) {
  for (const std::string& file : files) {
    const std::vector<std::string> texts = read_documents(file);
    for (const int count : threads) {
      at::set_num_threads(count);
      run_each(pipeline, std::vector<std::string>(texts.begin(), texts.begin() + 1));
      std::uint64_t words = 0;
      const double each = best_seconds(1, [&] { words = count_words(run_each(pipeline, texts)); });
      std::cout << "file=" << file << " threads=" << count << " documents=" << texts.size()
                << " words=" << words << " process_wps=" << static_cast<double>(words) / each
                << std::endl;
    }
  }
}

} // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::cerr << "usage: velmora_bench_pipeline <model-dir> throughput|load|scaling|stages "
                 "<documents.txt>... [--threads 1,8] [--repeat N] [--processors LIST]\n";
    return 2;
  }
  const std::string model_dir = argv[1];
  const std::string mode = argv[2];
  std::vector<std::string> files;
  std::vector<int> threads = {1,
                              static_cast<int>(std::max(1u, std::thread::hardware_concurrency()))};
  int repeat = 1;
  std::vector<std::string> processors = {"tokenize", "mwt", "pos", "lemma", "depparse"};
  for (int i = 3; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--threads" && i + 1 < argc) {
      threads = parse_threads(argv[++i]);
    } else if (arg == "--processors" && i + 1 < argc) {
      processors = split_list(argv[++i]);
    } else if (arg == "--repeat" && i + 1 < argc) {
      repeat = std::atoi(argv[++i]);
    } else {
      files.push_back(arg);
    }
  }
  try {
    if (mode == "load") {
      load(model_dir, processors, read_documents(files.at(0)));
      return 0;
    }
    const velmora::Pipeline pipeline = make_pipeline(model_dir, processors);
    if (mode == "throughput") {
      throughput(pipeline, read_documents(files.at(0)), threads, repeat);
    } else if (mode == "parts") {
      parts(pipeline, read_documents(files.at(0)));
    } else if (mode == "stages") {
      stages(pipeline, read_documents(files.at(0)), threads, repeat);
    } else if (mode == "scaling") {
      scaling(pipeline, files, threads);
    } else {
      std::cerr << "unknown mode: " << mode << "\n";
      return 2;
    }
  } catch (const std::exception& error) {
    std::cerr << "velmora_bench_pipeline: " << error.what() << "\n";
    return 1;
  }
  return 0;
}
