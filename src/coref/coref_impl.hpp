#pragma once

// The loaded coreference resolver and the steps of its model. Include only
// from .cpp files: it pulls in ATen.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include <ATen/core/Tensor.h>

#include <velmora/coref_plan.hpp>
#include <velmora/model_bundle.hpp>

#include "encoders/native_transformer.hpp"
#include "taggers/word_inputs.hpp"

namespace velmora {

// Built once by the loader and never written afterwards; the members are
// released in reverse order, so `bundle` outlives every view of its mapping.
struct CorefPlan::Impl {
  // Loads a "coref" bundle. JSON errors of the assets escape unchanged.
  Impl(std::filesystem::path bundle_path, bool verify_checksums);
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  // The types and shapes of every tensor the model reads; throws
  // CorefModelError.
  void check_network() const;

  std::shared_ptr<ModelBundle> bundle;
  detail::TensorMap tensors;
  std::unique_ptr<detail::NativeTransformer> transformer;
  std::unordered_map<std::string, std::vector<std::int64_t>> tokenizer_map_ids;
  std::int64_t hidden_size = 0;
  std::int64_t embedding_size = 0;
  std::int64_t sp_embedding_size = 0;
  std::int64_t a_scoring_batch_size = 0;
  std::int64_t n_hidden_layers = 0;
  std::int64_t rough_k = 0;
  std::int64_t bert_window_size = 0;
  std::int64_t cls_id = -1;
  std::int64_t sep_id = -1;
  std::int64_t pad_id = -1;
  std::int64_t eos_id = -1;
  bool singletons = false;
  bool full_pairwise = false;
  bool use_zeros = false;
};

namespace detail {

// The subword vectors of a document: one row per subword, in document order,
// and each word's subword range [first, end).
struct CorefSubwordEncoding {
  at::Tensor vectors;
  std::vector<std::pair<std::int64_t, std::int64_t>> word_ranges;
};

// Throws CorefModelError "missing coref tensor: '<name>'".
const at::Tensor& coref_tensor(const CorefPlan::Impl& impl, std::string_view name);

// A new int64 tensor of `shape` owning a row-major copy of `values`.
at::Tensor make_index_tensor(const std::vector<std::int64_t>& values,
                             std::vector<std::int64_t> shape);

// The model behind CorefPlan::resolve, whose checks it relies on: the three
// lists have one entry per word and every sentence index is below the word
// count.
CorefPrediction coref_predict(const CorefPlan::Impl& impl, const std::vector<std::string>& words,
                              const std::vector<std::size_t>& sentence_ids,
                              const std::vector<std::string>& speakers);

// Subword ids of every word, then the transformer over windows of at most
// bert_window_size ids that end at sentence changes where they can.
CorefSubwordEncoding coref_subword_vectors(const CorefPlan::Impl& impl,
                                           const std::vector<std::string>& words,
                                           const std::vector<std::size_t>& sentence_ids);
// [words, hidden_size]: each word's subwords pooled under the word's own
// attention weights.
at::Tensor coref_word_vectors(const CorefPlan::Impl& impl, const CorefSubwordEncoding& encoding);

// The window bounds [start, end) over subwords whose words have the given
// sentence indexes, `width` subwords at most per window.
std::vector<std::pair<std::int64_t, std::int64_t>>
coref_windows(const std::vector<std::size_t>& subword_sentences, std::int64_t width);

// The distance bucket of an antecedent `distance` words back (below 1 counts
// as 1): 0 to 3 for 1 to 4, then 4 + floor(log2(distance)) - 2, at most 8.
std::int64_t coref_distance_bucket(std::int64_t distance);

// The clusters of word vectors X [n, hidden_size], ordered by first word.
std::vector<std::vector<std::size_t>> coref_word_clusters(const CorefPlan::Impl& impl,
                                                          const at::Tensor& words,
                                                          const std::vector<std::string>& speakers);

// Clusters from each word's antecedent (-1 for none) and, with singletons,
// the words that may stand alone.
std::vector<std::vector<std::size_t>>
coref_link_clusters(const std::vector<std::int64_t>& antecedents,
                    const std::vector<bool>& may_stand_alone);

// Fills the prediction's span_clusters and zero_words from its
// word_clusters.
void coref_spans_and_zeros(const CorefPlan::Impl& impl, const at::Tensor& words,
                           const std::vector<std::size_t>& sentence_ids,
                           CorefPrediction& prediction);

// A prediction as document edits: the empty words to add, each with its
// sentence, and the chains. Nothing is written.
struct CorefDocumentEdit {
  std::vector<std::pair<std::uint32_t, WordInput>> empty_words;
  std::vector<CorefChain> chains;
};

// Plans the edit of `prediction` over the document's regular words. Throws
// CorefModelError "coref span crossed a sentence boundary" for a span that is
// empty, reaches past the last word or spans two sentences (and for a zero
// mention whose word lies outside its span's sentence).
CorefDocumentEdit coref_document_edit(const DocumentStorage& storage,
                                      const CorefPrediction& prediction);

// Makes the edit: drops the empty words an earlier run generated, adds the
// planned ones, keeps each changed sentence's empty words listed in reading
// order and stores the chains.
void apply_coref_document_edit(DocumentStorage& storage, CorefDocumentEdit edit);

} // namespace detail
} // namespace velmora
