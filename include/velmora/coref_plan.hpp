#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <velmora/document.hpp>
#include <velmora/errors.hpp>

namespace velmora {

class ModelBundle;

// The clusters that resolve() finds over one document's words. Word indexes
// are positions in the word list given to resolve(). Clusters are disjoint,
// their words ascending, and they are ordered by their first word.
struct CorefPrediction {
  std::vector<std::vector<std::size_t>> word_clusters;
  // Per cluster, for each of its words in the same order, the mention grown
  // around it: a half-open word range inside the word's sentence.
  std::vector<std::vector<std::pair<std::size_t, std::size_t>>> span_clusters;
  // Per cluster, those of its words that carry a dropped (zero) mention.
  std::vector<std::vector<std::size_t>> zero_words;
};

// The word-level coreference resolver of a "coref" bundle: a transformer
// encoder, a rough bilinear and a feed-forward antecedent scorer, a span
// predictor and an optional zero-mention predictor. Immutable once loaded,
// so one plan may serve several threads at once. Movable, not copyable; a
// moved-from plan may only be destroyed or assigned to.
class CorefPlan {
public:
  struct Impl;

  // Throws ModelBundleError when the bundle cannot be opened or verified,
  // CorefModelError for a bundle of another kind or one it cannot run, and
  // lets detail::JsonError of the assets and the transformer's own errors
  // through unchanged.
  CorefPlan(std::filesystem::path bundle_path, bool verify_checksums);
  ~CorefPlan();
  CorefPlan(CorefPlan&& other) noexcept;
  CorefPlan& operator=(CorefPlan&& other) noexcept;
  CorefPlan(const CorefPlan&) = delete;
  CorefPlan& operator=(const CorefPlan&) = delete;

  const ModelBundle& bundle() const;
  bool predicts_singletons() const;
  bool predicts_zero_anaphora() const;

  // One document as its words, each word's sentence index and each word's
  // speaker (none: "_" for every word). Throws std::invalid_argument when the
  // lists differ in length or a sentence index is not below the word count,
  // and CorefModelError for a word the tokenizer turns into nothing.
  CorefPrediction resolve(const std::vector<std::string>& words,
                          const std::vector<std::size_t>& sentence_ids,
                          const std::vector<std::string>& speakers) const;

  // Replaces the document's chains (and the empty words an earlier run
  // added) by those resolved over its regular words; zero mentions become new
  // empty words with text "_". All or nothing: a failure leaves the document
  // as it was. Returns the same document.
  Document process(Document document) const;
  // process() for each document in order; stops at the first failure, with
  // the documents before it annotated.
  std::vector<Document> process_bulk(std::vector<Document> documents) const;

private:
  std::unique_ptr<Impl> impl_;
};

} // namespace velmora
