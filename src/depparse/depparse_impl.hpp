#pragma once

// The loaded dependency parser. Include only from .cpp files: it pulls in
// ATen.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <ATen/core/Tensor.h>

#include <velmora/depparse.hpp>
#include <velmora/model_bundle.hpp>

#include "depparse/relation_scorer.hpp"
#include "encoders/native_charlm.hpp"
#include "encoders/native_transformer.hpp"
#include "taggers/highway_lstm.hpp"
#include "taggers/word_inputs.hpp"

namespace velmora {

using ParserLayerWeights = detail::HighwayLayerWeights;

// Built once by the loader and never written afterwards; the members are
// released in reverse order, so `bundle` outlives every view of its mapping.
struct DepparsePlan::Impl {
  using UnitMap = detail::UnitMap;
  using TensorMap = detail::TensorMap;

  // Loads a "depparse" bundle. JSON errors of the assets escape unchanged.
  Impl(std::filesystem::path bundle_path, bool verify_checksums);
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  // Throws DepparseModelError "missing depparse tensor: '<name>'".
  const at::Tensor& tensor(std::string_view name) const;

  // Word inputs: [1, n + 1, D] for n >= 1 words, the root position first.
  // `forward_charlm`/`backward_charlm` are language model rows [n + 1, H] of
  // exactly this sentence (null runs the models here); read only with
  // use_charlm. `characters` are the character model's vectors
  // [n + 1, char_hidden_dim] of exactly this sentence (null runs the model
  // here); read only without use_charlm. `transformer_rows` are the
  // transformer's rows of this sentence with its endpoints [n + 2, H] (null
  // runs it here); read only with use_transformer.
  at::Tensor encode_inputs(const std::vector<DepparseWord>& words, const at::Tensor* forward_charlm,
                           const at::Tensor* backward_charlm,
                           const at::Tensor* characters = nullptr,
                           const at::Tensor* transformer_rows = nullptr) const;
  // The character model's id sequences of a sentence: the root's, then each
  // word's. Throws DepparseModelError for an empty word.
  std::vector<std::vector<std::int64_t>>
  sentence_char_ids(const std::vector<DepparseWord>& words) const;
  // The character vectors [count, char_hidden_dim] of id sequences; throws
  // DepparseModelError for an empty one before any of them runs.
  at::Tensor encode_char_ids(const std::vector<std::vector<std::int64_t>>& sequences) const;

  // [1, n + 1, 2 * hidden_dim].
  at::Tensor encode_sentence(const std::vector<DepparseWord>& words,
                             const at::Tensor* forward_charlm,
                             const at::Tensor* backward_charlm) const;

  // [B, n, n, O] scores of the biaffine head `prefix` over encoded rows
  // [B, n, D]: axis 1 is the dependent, axis 2 the head.
  at::Tensor deep_biaffine(const std::string& prefix, const at::Tensor& encoded) const;
  // The arc log-probabilities [B, n, n] over encoded rows [B, n, D]: axis 1
  // is the dependent, axis 2 the head. `padding_mask` [B, n] is true at real
  // positions.
  at::Tensor arc_log_probabilities(const at::Tensor& encoded, const at::Tensor* padding_mask) const;
  // Throws DepparseModelError, naming the size, when the arc scores of
  // `sentences` sentences of `positions` positions (root included) would
  // take more than the machine's memory.
  void require_arc_memory(std::int64_t sentences, std::int64_t positions) const;
  // The relation scores of one sentence's encoded rows [n, D], computed for
  // the arcs its decode reads.
  detail::BiaffineRelationScores relation_scores(const at::Tensor& encoded) const;

  // The tree of one sentence from its arc scores [1, n, n] (float32), which
  // the decode releases once it has read them, and its relation scores.
  std::vector<DepparsePrediction> decode_sentence(const std::vector<DepparseWord>& words,
                                                  at::Tensor& arc_scores,
                                                  const detail::RelationScores& relations) const;
  // decode_sentence() in two halves: the arc scores as doubles (the tensor
  // released), then the labelled tree from them, the relation scores and the
  // tree decode_single_root() gives for them.
  static detail::ScoreMatrix arc_score_matrix(at::Tensor& arc_scores);
  std::vector<DepparsePrediction> label_tree(const std::vector<DepparseWord>& words,
                                             const detail::ScoreMatrix& arcs,
                                             const detail::RelationScores& relations,
                                             std::vector<std::int64_t> heads) const;

  // Batched parsing of many sentences; results in input order.
  // With `call`, the backward language model rows a tagger of the same call
  // left for exactly these sentences are taken instead of computed.
  std::vector<std::vector<DepparsePrediction>>
  parse_sentences(const std::vector<std::vector<DepparseWord>>& sentences,
                  detail::PipelineCall* call = nullptr) const;
  std::vector<at::Tensor> encode_batch(const std::vector<std::vector<DepparseWord>>& sentences,
                                       const std::vector<at::Tensor>& forward_charlm,
                                       const std::vector<at::Tensor>& backward_charlm) const;
  // The arc log-probabilities [1, n, n] of every sentence of encoded rows
  // [1, n, D], scored in padded chunks.
  std::vector<at::Tensor>
  score_batch(const std::vector<at::Tensor>& encoded,
              const std::vector<std::vector<DepparseWord>>& sentences) const;

  std::shared_ptr<ModelBundle> bundle;
  TensorMap tensors;
  std::vector<at::Tensor> char_lstm_weights;
  std::vector<at::Tensor> char_lstm_init;
  std::vector<ParserLayerWeights> parser_layers;
  detail::RelationWeights relation_weights;
  UnitMap word_vocab;
  UnitMap lemma_vocab;
  UnitMap char_vocab;
  UnitMap upos_vocab;
  UnitMap xpos_vocab;
  std::vector<UnitMap> xpos_component_vocabs;
  UnitMap pretrain_vocab;
  std::vector<std::string> deprel_labels;
  std::int64_t feats_category_count = 0;
  std::int64_t word_emb_dim = 0;
  std::int64_t tag_emb_dim = 0;
  std::int64_t transformed_dim = 0;
  std::int64_t char_emb_dim = 0;
  std::int64_t char_hidden_dim = 0;
  std::int64_t hidden_dim = 0;
  std::int64_t num_layers = 0;
  std::int64_t batch_size = 0;
  std::int64_t deep_biaff_hidden_dim = 0;
  std::string xpos_separator;
  bool word_lower = false;
  bool lemma_lower = false;
  bool xpos_has_ignore = false;
  bool composite_xpos = false;
  bool linearization = false;
  bool distance = false;
  bool use_charlm = false;
  bool use_transformer = false;
  std::unique_ptr<detail::NativeCharLM> charlm_forward;
  std::unique_ptr<detail::NativeCharLM> charlm_backward;
  std::unique_ptr<detail::NativeTransformer> transformer;

private:
  void bind_tensors();
  void validate_tensors() const;
  void check_shapes(std::int64_t input_width, std::int64_t relations) const;
  void require_biaffine(const std::string& prefix) const;
  void cache_recurrent_weights();
};

} // namespace velmora
