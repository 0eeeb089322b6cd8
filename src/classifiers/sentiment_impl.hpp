#pragma once

// The loaded sentiment classifier. Include only from .cpp files: it pulls in
// ATen.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <ATen/core/Tensor.h>

#include <velmora/model_bundle.hpp>
#include <velmora/sentiment.hpp>

#include "encoders/native_charlm.hpp"
#include "encoders/native_transformer.hpp"
#include "taggers/sentence_batches.hpp"
#include "taggers/word_inputs.hpp"

namespace velmora {

namespace detail {

// Sentences in classification order and the batches cut from it.
struct WordBatches {
  std::vector<std::size_t> order; // input indexes, most words first, ties in input order
  std::vector<BatchRange> batches;
};

// Cuts sentences of `word_counts` words into batches of at most `budget`
// words: a sentence joins while its words fit in what is left (one without
// words always does); one longer than the budget forms a batch alone, which
// closes at once.
WordBatches plan_word_batches(const std::vector<std::size_t>& word_counts, std::uint64_t budget);

} // namespace detail

// One convolution filter: `height` consecutive words, across the whole
// feature width (no `width`) or in tiles `width` features wide.
struct SentimentFilter {
  std::int64_t height = 0;
  std::optional<std::int64_t> width;
};

// Built once by the loader and never written afterwards; the members are
// released in reverse order, so `bundle` outlives every view of its mapping.
struct SentimentPlan::Impl {
  // Loads a "sentiment" bundle. JSON errors of the assets escape unchanged.
  Impl(std::filesystem::path bundle_path, bool verify_checksums);
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  // Throws SentimentModelError "missing sentiment tensor: '<name>'".
  const at::Tensor& tensor(std::string_view name) const;

  // The pretrained-vocabulary entry of `text` (lower-cased when the
  // vocabulary is, spaces spelled as U+00A0), or nothing.
  std::optional<std::int64_t> vocabulary_id(std::string_view text) const;
  // The pretrained id of a word: its own form, the form without a final
  // single quote, its lower-case form, else 1 ("<UNK>").
  std::int64_t word_id(const std::string& word) const;

  // Class scores [B, num_classes] of one batch (longest sentence first).
  at::Tensor forward(const std::vector<std::vector<std::string>>& batch) const;
  // One class per sentence, in input order (see SentimentPlan).
  std::vector<std::int64_t> classify_many(const std::vector<std::vector<std::string>>& sentences,
                                          std::uint64_t batch_size) const;
  // Runs the batches [first, end) of `plan`, each one unit of the team, and
  // stores each sentence's class at its input index in `classes`.
  // `sentence(j)` gives the words of the sentence at position j of the
  // plan's order, for the positions those batches cover.
  void classify_batches(const detail::WordBatches& plan, std::size_t first, std::size_t end,
                        const std::function<const std::vector<std::string>&(std::size_t)>& sentence,
                        std::vector<std::int64_t>& classes) const;

  std::shared_ptr<ModelBundle> bundle;
  detail::TensorMap tensors;
  detail::UnitMap pretrain_vocab;
  detail::UnitMap extra_vocab;
  std::vector<std::string> labels;
  std::vector<SentimentFilter> filters;
  std::vector<at::Tensor> bilstm_weights;
  std::string extra_wordvec_method;
  std::int64_t bilstm_hidden_dim = 0;
  std::int64_t maxpool_width = 0;
  std::int64_t num_classes = 0;
  std::int64_t charlm_projection = 0;
  // The shortest padded length of a batch: the widest full-width filter's
  // height, or a 2-D filter's width, whichever is larger.
  std::int64_t min_batch_length = 0;
  // The tallest 2-D filter: a batch padded to fewer words could not run it.
  std::int64_t tallest_2d_filter = 0;
  std::int64_t fc_layer_count = 0;
  bool lower = false;
  bool bilstm = false;
  bool has_charlm_forward = false;
  bool has_charlm_backward = false;
  bool use_transformer = false;
  std::unique_ptr<detail::NativeCharLM> forward_charlm;
  std::unique_ptr<detail::NativeCharLM> backward_charlm;
  std::unique_ptr<detail::NativeTransformer> transformer;

private:
  void read_config(const detail::JsonValue& config);
  void read_vocabularies(const detail::JsonValue& root);
  void load_encoders(const detail::JsonValue& root);
  void check_tensors(const detail::JsonValue& config);
  // Checks one projection and returns the width it adds.
  std::int64_t check_projection(const detail::NativeCharLM& model, const std::string& direction);

  // The features [B, L, d] of one character language model, zero past each
  // sentence's words.
  at::Tensor charlm_feature(const detail::NativeCharLM& model, const std::string& prefix,
                            const std::vector<std::vector<std::string>>& batch,
                            std::int64_t length) const;
  at::Tensor transformer_feature(const std::vector<std::vector<std::string>>& batch,
                                 std::int64_t length) const;
  // Filter k over x [B, L, W]: the pooled ReLU features [B, pooled width].
  at::Tensor convolve_and_pool(const at::Tensor& x, std::size_t k) const;
};

} // namespace velmora
