#pragma once

// The loaded part-of-speech tagger. Include only from .cpp files: it pulls in
// ATen.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <ATen/core/Tensor.h>

#include <velmora/model_bundle.hpp>
#include <velmora/pos.hpp>

#include "encoders/native_charlm.hpp"
#include "encoders/native_transformer.hpp"
#include "taggers/highway_lstm.hpp"
#include "taggers/sentence_batches.hpp"
#include "taggers/word_inputs.hpp"

namespace velmora {

// One morphological feature: its name and its id-to-value list.
struct FeatsColumn {
  std::string key;
  std::vector<std::string> values;
};

using TaggerLayerWeights = detail::HighwayLayerWeights;

// Built once by the loader and never written afterwards; the members are
// released in reverse order, so `bundle` outlives every view of its mapping.
struct POSPlan::Impl {
  // Loads a "pos" bundle. JSON errors of the assets escape unchanged.
  Impl(std::filesystem::path bundle_path, bool verify_checksums);
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  // Throws POSModelError "missing POS tensor: '<name>'".
  const at::Tensor& tensor(std::string_view name) const;

  // Classifier heads over encoded rows [rows, 2 * hidden_dim].
  at::Tensor bilinear_scores(const at::Tensor& hidden, const at::Tensor& tags,
                             const std::string& prefix) const;
  // Rows sharing a UPOS id, and each distinct id's embedding extended by 1.
  struct TagGroups {
    at::Tensor tags;              // [distinct ids, E + 1]
    std::vector<at::Tensor> rows; // per id: int64 row indexes
  };
  // bilinear_scores over rows already extended by 1, by UPOS group.
  at::Tensor grouped_bilinear_scores(const at::Tensor& hidden, const TagGroups& groups,
                                     const std::string& prefix) const;
  std::vector<POSTags> predict_tags(const at::Tensor& encoded, std::int64_t rows) const;

  // Word encoder.
  // The normalised forms and vocabulary ids of one sentence's words.
  struct WordKeys {
    std::vector<std::string> normalized;
    std::vector<std::int64_t> word_ids;
    std::vector<std::int64_t> pretrain_ids;
  };
  WordKeys word_keys(const std::vector<std::string>& words) const;
  // Character LSTM vectors [n, char_hidden_dim] of normalised words; throws
  // POSModelError for an empty word before any of them runs.
  at::Tensor encode_characters(const std::vector<std::string>& words) const;
  // [1, n, D]. `characters` are the words' character vectors (without
  // use_charlm); `forward_rows`/`backward_rows` are language model rows for
  // exactly these words (with use_charlm; null runs the models here), and
  // `transformer_rows` the transformer's (with use_transformer; null runs it
  // here).
  at::Tensor build_features(const std::vector<std::string>& words, const WordKeys& keys,
                            const at::Tensor& characters, const at::Tensor* forward_rows,
                            const at::Tensor* backward_rows,
                            const at::Tensor* transformer_rows) const;
  at::Tensor encode_sentence(const std::vector<std::string>& words) const;
  std::vector<detail::BatchRange> plan_batches(const std::vector<std::int64_t>& lengths) const;
  std::vector<at::Tensor> encode_batch(const std::vector<std::vector<std::string>>& sentences,
                                       const std::vector<at::Tensor>& forward_rows,
                                       const std::vector<at::Tensor>& backward_rows) const;

  // Tagging.
  std::vector<POSTags> tag_words(const std::vector<std::string>& words) const;
  // With `call`, the backward language model rows may be left there for a
  // later parser of the same call.
  std::vector<std::vector<POSTags>>
  tag_sentences(const std::vector<std::vector<std::string>>& sentences,
                detail::PipelineCall* call = nullptr) const;
  std::vector<std::vector<POSTags>>
  predict_batch(const std::vector<at::Tensor>& encoded,
                const std::vector<std::vector<std::string>>& sentences) const;
  static void write_tags(const WordSequence& words, const std::vector<POSTags>& tags);

  std::shared_ptr<ModelBundle> bundle;
  detail::TensorMap tensors;
  std::vector<at::Tensor> char_lstm_weights;
  std::vector<at::Tensor> char_lstm_init;
  std::vector<TaggerLayerWeights> tagger_layers;
  detail::UnitMap word_vocab;
  detail::UnitMap char_vocab;
  detail::UnitMap pretrain_vocab;
  std::vector<std::string> upos_labels;
  std::vector<std::string> xpos_labels;
  std::vector<std::vector<std::string>> xpos_component_labels;
  std::vector<FeatsColumn> feats_columns;
  std::int64_t word_emb_dim = 0;
  std::int64_t transformed_dim = 0;
  std::int64_t char_emb_dim = 0;
  std::int64_t char_hidden_dim = 0;
  std::int64_t hidden_dim = 0;
  std::int64_t num_layers = 0;
  std::int64_t tag_emb_dim = 0;
  std::int64_t charlm_transform_dim = 0;
  std::int64_t batch_size = 0;
  std::int64_t batch_maximum_tokens = 0;
  std::string xpos_separator;
  bool word_lower = false;
  bool xpos_has_ignore = false;
  bool composite_xpos = false;
  bool use_charlm = false;
  bool use_transformer = false;
  std::unique_ptr<detail::NativeCharLM> charlm_forward;
  std::unique_ptr<detail::NativeCharLM> charlm_backward;
  std::unique_ptr<detail::NativeTransformer> transformer;

private:
  void bind_tensors();
  void check_tensors();
  void check_shapes(std::int64_t input_width) const;
};

} // namespace velmora
