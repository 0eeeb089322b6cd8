#pragma once

// The character language model encoder shared by the taggers, the parsers, the
// sentiment classifier and CharLMPlan. Include only from .cpp files: it pulls
// in ATen.

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include <ATen/core/Tensor.h>

#include <velmora/json.hpp>
#include <velmora/model_bundle.hpp>

namespace velmora::detail {

// A unidirectional multi-layer character LSTM that reads a whole sentence as
// one character stream ("\n", then each word followed by " ") and gives each
// word the output at its closing space. A backward model reads the words last
// to first, each spelled backwards by code points. Immutable after loading;
// every tensor views the bundle's read-only mapping, which `bundle_` keeps
// alive. Both encodes are const, lock-free and safe to call from many threads.
class NativeCharLM {
public:
  // Reads the direction, sizes and vocabulary from `assets` and binds the
  // tensors named `prefix` + ... . Throws CharLMModelError for an architecture
  // it cannot run, detail::JsonError for missing or mistyped assets and
  // ModelBundleError for a tensor the bundle lacks.
  NativeCharLM(std::shared_ptr<ModelBundle> bundle, std::string prefix, const JsonValue& assets);
  NativeCharLM(const NativeCharLM&) = delete;
  NativeCharLM& operator=(const NativeCharLM&) = delete;

  bool is_forward() const noexcept { return forward_; }
  std::int64_t hidden_size() const noexcept { return hidden_size_; }

  // [words.size(), hidden_size()] in the embedding's element type; row i
  // belongs to words[i] in both directions. Throws std::invalid_argument for a
  // word that is not valid UTF-8.
  at::Tensor encode(const std::vector<std::string>& words) const;

  // encode() of every sentence, all of them sorted by length and run in
  // dense buckets of near-equal length. Every word is validated before the
  // LSTM runs.
  std::vector<at::Tensor> encode_many(const std::vector<std::vector<std::string>>& sentences) const;

  // encode() of `root` followed by each sentence's words, [n + 1, H] per
  // sentence with the root's row first; a sentence without words gives
  // [0, H]. For a backward model the rows of the words are bit for bit those
  // of encode_many(sentences), so one call serves a caller that reads the
  // sentences plain and one that reads them rooted.
  std::vector<at::Tensor> encode_many_rooted(const std::vector<std::vector<std::string>>& sentences,
                                             const std::string& root) const;

  // Whether `other` computes exactly what this model computes: the same
  // direction, sizes and vocabulary and tensors of equal bytes.
  bool same_model(const NativeCharLM& other) const;

private:
  // The ids the LSTM reads for one sentence, and for each input word the index
  // of its closing space in `ids`.
  struct CharStream {
    std::vector<std::int64_t> ids;
    std::vector<std::int64_t> positions;
  };

  CharStream char_stream(const std::vector<std::string>& words, std::int64_t unknown_id) const;
  // The rows at each stream's positions; buckets are planned on the lengths
  // without the last `extension` ids, which every stream with words carries.
  std::vector<at::Tensor> run_streams(std::vector<CharStream>& streams,
                                      std::size_t extension) const;
  std::int64_t unknown_id() const;
  std::int64_t symbol_id(const char* symbol) const;
  at::Tensor view(const std::string& name) const;

  std::shared_ptr<ModelBundle> bundle_;
  std::string prefix_;
  std::vector<at::Tensor> lstm_params_;
  std::unordered_map<std::string, std::int64_t> vocab_;
  at::Tensor char_emb_;
  at::Tensor h_init_;
  at::Tensor c_init_;
  std::int64_t hidden_size_ = 0;
  std::int64_t num_layers_ = 0;
  bool forward_ = true;
};

} // namespace velmora::detail
