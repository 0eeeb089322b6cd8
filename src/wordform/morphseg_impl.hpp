#pragma once

// The loaded segmenter behind MorphSegPlan, and the pure string work around
// its network: action texts, rebuilding a word and cutting it into
// morphemes. Include only from .cpp files: it pulls in ATen.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <ATen/core/Tensor.h>

#include <velmora/model_bundle.hpp>
#include <velmora/morphseg.hpp>

namespace velmora::detail {

// One target-vocabulary entry, parsed once at load. "DELETE" as a whole
// action drops the character; any other text is a list of pieces joined by
// "+", where "COPY" emits the source character and anything else (the empty
// piece, "<UNK>", "DELETE" inside a longer action) is literal text.
struct MorphSegAction {
  struct Piece {
    bool copy = false;
    std::string text; // literal text, empty for a copy
  };
  bool drop = false;
  std::vector<Piece> pieces;
};

MorphSegAction parse_morphseg_action(std::string_view text);

// Appends what `action` makes of the source character `character`.
void apply_morphseg_action(const MorphSegAction& action, std::string_view character,
                           std::string& out);

// Cuts a rebuilt word at every " @@": k marks give k + 1 morphemes, empty
// ones included.
std::vector<std::string> split_morphemes(std::string_view rebuilt);

} // namespace velmora::detail

namespace velmora {

class MorphSegPlan::Impl {
public:
  // Loads and checks the bundle; JSON errors pass as detail::JsonError (the
  // plan's constructor turns them into MorphSegModelError).
  Impl(std::filesystem::path bundle_path, bool verify_checksums);

  // One morpheme list per word, in input order. Every word is checked and
  // every chunk run before anything is returned.
  std::vector<std::vector<std::string>> segment_batch(const std::vector<std::string>& words) const;

  // The character ids [n, count] (int64) of characters [start, start + count)
  // of the n words of a network call.
  using IdSource = std::function<at::Tensor(std::int64_t start, std::int64_t count)>;
  // Receives the action scores [n, count, T] of characters
  // [start, start + count) of the n words of a network call.
  using ScoreVisitor = std::function<void(std::int64_t start, const at::Tensor& scores)>;
  // Runs the network over n words of `length` characters and hands their
  // action scores to `visit` in order of position: all at once when `chunk`
  // is at least `length`, otherwise with the BiLSTM run `chunk` characters
  // at a time (detail::lstm_chunked), so that its memory does not grow with
  // the words.
  void action_scores(std::int64_t n, std::int64_t length, std::int64_t chunk, const IdSource& ids,
                     const ScoreVisitor& visit) const;
  // Throws MorphSegModelError when segmenting the word `form`, as given or
  // normalised, needs more than the machine's memory.
  void require_word_memory(std::string_view form) const;

  std::shared_ptr<ModelBundle> bundle;
  std::vector<std::string> source_vocabulary;
  std::vector<std::string> target_vocabulary;
  std::unordered_map<std::string, std::int64_t> source_index;
  std::unordered_map<std::string, at::Tensor> tensors;
  std::vector<at::Tensor> lstm_weights;
  std::int64_t embedding_size = 0;
  std::int64_t hidden_size = 0;
  std::int64_t num_layers = 0;
  std::int64_t batch_size = 0;

  // target_vocabulary, parsed.
  std::vector<detail::MorphSegAction> actions;
  // The tensors the forward pass reads, looked up once.
  at::Tensor embedding;
  at::Tensor initial_hidden;
  at::Tensor initial_cell;
  at::Tensor reduce_weight;
  at::Tensor reduce_bias;
  at::Tensor classifier_weight;
  at::Tensor classifier_bias;
};

} // namespace velmora
