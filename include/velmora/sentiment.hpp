#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <velmora/document.hpp>
#include <velmora/errors.hpp>

namespace velmora {

class ModelBundle;

// The sentence sentiment classifier of a "sentiment" bundle: a convolutional
// network over word vectors (pretrained and extra embeddings, optional
// character language models and transformer, optional BiLSTM) that gives a
// sentence one class index, the position of its class in the bundle's labels.
//
// Sentences are classified in padded batches, and the padding takes part in
// the network, so a sentence's class can depend on the sentences batched
// with it. Immutable once loaded, so one plan may serve several threads at
// once. Movable, not copyable; a moved-from plan may only be destroyed or
// assigned to.
class SentimentPlan {
public:
  struct Impl;

  // Throws ModelBundleError when the bundle cannot be opened or verified, and
  // SentimentModelError for a bundle of another kind, an architecture the
  // classifier cannot run or assets it cannot read. The encoders' own errors
  // (CharLMModelError, TransformerError, ...) pass unchanged.
  SentimentPlan(std::filesystem::path bundle_path, bool verify_checksums);
  ~SentimentPlan();
  SentimentPlan(SentimentPlan&& other) noexcept;
  SentimentPlan& operator=(SentimentPlan&& other) noexcept;
  SentimentPlan(const SentimentPlan&) = delete;
  SentimentPlan& operator=(const SentimentPlan&) = delete;

  const ModelBundle& bundle() const;

  // The class of one sentence, classified as a batch of its own.
  std::int64_t classify(const std::vector<std::string>& words) const;

  // One class per sentence, in input order. Sentences run longest first in
  // batches of at most `batch_size` words; a longer sentence runs alone.
  // Throws std::invalid_argument "sentiment batch_size must be positive" for
  // a budget of 0, whatever the sentences.
  std::vector<std::int64_t> classify_many(const std::vector<std::vector<std::string>>& sentences,
                                          std::uint64_t batch_size) const;

  // Classifies the token texts of every sentence in one call (budget 5000)
  // and writes each class as the sentence's sentiment. Nothing is written
  // unless every sentence was classified. Returns the same document.
  Document process(Document document) const;

  // process() over every sentence of every document in one call, so that
  // batches mix sentences of different documents. Returns the same documents
  // in the same order.
  std::vector<Document> process_bulk(std::vector<Document> documents) const;

private:
  std::unique_ptr<Impl> impl_;
};

} // namespace velmora
