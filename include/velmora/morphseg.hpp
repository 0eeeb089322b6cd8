#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <velmora/document.hpp>
#include <velmora/errors.hpp>
#include <velmora/model_bundle.hpp>

namespace velmora {

// The morphological segmenter of a "morphseg" bundle. Each word is
// normalised (NFKC, case folding, NFC), a character bidirectional LSTM picks
// one edit action per character, the actions rebuild the word with " @@"
// marking morpheme boundaries, and the rebuilt word is cut at the marks.
// Morphemes come back in the normalised form. Immutable once loaded, so one
// plan may serve several threads at once. Movable, not copyable; a moved-from
// plan may only be destroyed or assigned to.
class MorphSegPlan {
public:
  class Impl;

  // Throws ModelBundleError when the bundle cannot be opened or verified, and
  // MorphSegModelError for a bundle of another kind, assets it cannot read,
  // an architecture it does not run, or tensors of the wrong type or shape.
  MorphSegPlan(std::filesystem::path bundle_path, bool verify_checksums);
  ~MorphSegPlan();
  MorphSegPlan(MorphSegPlan&& other) noexcept;
  MorphSegPlan& operator=(MorphSegPlan&& other) noexcept;
  MorphSegPlan(const MorphSegPlan&) = delete;
  MorphSegPlan& operator=(const MorphSegPlan&) = delete;

  const ModelBundle& bundle() const;

  // The morphemes of one word. A rebuilt word with k boundary marks gives
  // k + 1 morphemes, empty ones included, so the result is never empty.
  // Throws std::invalid_argument for ill-formed UTF-8 and MorphSegModelError
  // when the model picks its padding action.
  std::vector<std::string> segment(const std::string& word) const;

  // One morpheme list per word, in input order, computed as one batch.
  std::vector<std::vector<std::string>> segment_many(const std::vector<std::string>& words) const;

  // Sets the morphemes of every regular word. Every word is segmented before
  // any is written, so a failure leaves the document as it was. Returns the
  // same document.
  Document process(Document document) const;

  // process() for every document, with the words of all documents in one
  // batch. Returns the same documents in the same order.
  std::vector<Document> process_bulk(std::vector<Document> documents) const;

private:
  const Impl& impl() const;

  std::unique_ptr<Impl> impl_;
};

} // namespace velmora
