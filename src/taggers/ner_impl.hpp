#pragma once

// The loaded named-entity tagger. Include only from .cpp files: it pulls in
// ATen.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <ATen/core/Tensor.h>

#include <velmora/json.hpp>
#include <velmora/model_bundle.hpp>
#include <velmora/ner.hpp>

#include "encoders/native_charlm.hpp"
#include "encoders/native_transformer.hpp"
#include "taggers/word_inputs.hpp"

namespace velmora {

// The classifier and the transition scores of one tag set.
struct NERTagHead {
  at::Tensor weight;      // [K, input width]
  at::Tensor bias;        // [K]
  at::Tensor transitions; // [K, K], [previous tag][next tag]
};

// Built once by the loader and never written afterwards; the members are
// released in reverse order, so `bundle` outlives every view of its mapping.
struct NERPlan::Impl {
  // Loads an "ner" bundle. JSON errors of the assets escape unchanged.
  Impl(std::filesystem::path bundle_path, bool verify_checksums);
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  // Throws NERModelError "missing NER tensor: '<name>'".
  const at::Tensor& tensor(std::string_view name) const;

  // Feature encoder.
  // The key of `word` in the word vocabulary (`replace_spaces`, lower-cased
  // also when `vocabulary_lower`) or in the delta vocabulary.
  std::string vocabulary_key(const std::string& word, bool vocabulary_lower,
                             bool replace_spaces) const;
  // Word and delta ids of one sentence's words.
  struct WordIds {
    std::vector<std::int64_t> word;
    std::vector<std::int64_t> delta;
  };
  WordIds word_ids(const std::vector<std::string>& words) const;
  // The character LSTM's last-layer final states [n, 2 * char_hidden_dim],
  // forward then backward, of each word; throws NERModelError for an empty
  // word before any of them runs. Words run as packed batches, which give a
  // word what a run over it alone gives.
  at::Tensor encode_characters(const std::vector<std::string>& words) const;
  // The character block [N, C] of the N words `words` of `sentences` (all
  // their words, in order): the character LSTM's rows, or the forward then
  // the backward language model's rows.
  at::Tensor character_features(const std::vector<std::vector<std::string>>& sentences,
                                const std::vector<std::string>& words) const;
  // The tagger input [N, D] of all words of `sentences`, in order.
  at::Tensor build_features(const std::vector<std::vector<std::string>>& sentences) const;
  // The tagger LSTM's output [N, 2 * hidden] for the input [N, D] of
  // sentences of `lengths` words, in length-sorted packed batches; each
  // sentence gets what a run over it alone gives it.
  at::Tensor run_tagger(const at::Tensor& features, const std::vector<std::int64_t>& lengths) const;

  // Decoding.
  // The predicted tag set's scores [rows, K] (float, contiguous) of tagger
  // output rows.
  at::Tensor emission_scores(const at::Tensor& hidden) const;
  // CRF and repair over one sentence's emission scores.
  std::vector<std::string> decode(const at::Tensor& emissions) const;
  static std::vector<std::int64_t> decode_viterbi(const at::Tensor& emissions,
                                                  const at::Tensor& transitions);
  static void repair_bioes(std::vector<std::string>& tags);

  // Tagging: one sentence, and many in bounded groups (every tag is computed
  // before the caller writes any).
  std::vector<std::string> tag_words(const std::vector<std::string>& words) const;
  std::vector<std::vector<std::string>>
  tag_sentences(const std::vector<std::vector<std::string>>& sentences) const;

  std::shared_ptr<ModelBundle> bundle;
  detail::TensorMap tensors;
  detail::UnitMap word_vocab;
  detail::UnitMap delta_vocab;
  detail::UnitMap char_vocab;
  std::vector<std::vector<std::string>> tag_columns;
  std::int64_t word_emb_dim = 0;
  std::int64_t char_emb_dim = 0;
  std::int64_t char_hidden_dim = 0;
  std::int64_t char_num_layers = 0;
  std::int64_t hidden_dim = 0;
  std::int64_t num_layers = 0;
  std::int64_t predict_tagset = 0;
  bool lowercase = true;
  bool char_lowercase = false;
  bool word_lower = false;
  bool delta_lower = false;
  bool input_transform = false;
  bool connect_output_layers = false;
  bool charlm = false;
  bool use_transformer = false;
  std::unique_ptr<detail::NativeCharLM> charlm_forward;
  std::unique_ptr<detail::NativeCharLM> charlm_backward;
  std::unique_ptr<detail::NativeTransformer> transformer;
  std::vector<at::Tensor> char_lstm_weights;
  std::vector<at::Tensor> char_lstm_state;
  std::vector<at::Tensor> tagger_lstm_weights;
  std::vector<at::Tensor> tagger_lstm_state;
  std::vector<NERTagHead> tag_heads;

private:
  void read_tag_columns(const detail::JsonValue& vocab);
  void validate_tensors() const;
  void check_network() const;
  std::vector<at::Tensor> load_lstm_weights(const std::string& prefix, std::int64_t layers) const;
};

} // namespace velmora
