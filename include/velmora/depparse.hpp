#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <velmora/document.hpp>
#include <velmora/errors.hpp>

namespace velmora {

namespace detail {
class PipelineCall;
} // namespace detail

class ModelBundle;

// One word of a sentence as the parser reads it. Annotations are carried as
// the document holds them: an absent one stays absent.
struct DepparseWord {
  std::string text;
  std::optional<std::string> lemma;
  std::optional<std::string> upos;
  std::optional<std::string> xpos;
  std::optional<std::string> feats;
};

// The parse of one word: `head` is 0 for an attachment to the root, else the
// 1-based position of the head word in the same sentence.
struct DepparsePrediction {
  std::int32_t head = 0;
  std::string deprel;

  bool operator==(const DepparsePrediction&) const = default;
};

// The biaffine dependency parser of a "depparse" bundle: every word of a
// tagged sentence gets a head and a relation, with exactly one word under the
// root. Immutable once loaded, so one plan may serve several threads at once.
// Movable, not copyable; a moved-from plan may only be destroyed or assigned
// to.
class DepparsePlan {
public:
  struct Impl;

  // Throws ModelBundleError when the bundle cannot be opened or verified, and
  // DepparseModelError for a bundle of another kind, an architecture the
  // parser cannot run or assets it cannot read.
  DepparsePlan(std::filesystem::path bundle_path, bool verify_checksums);
  ~DepparsePlan();
  DepparsePlan(DepparsePlan&& other) noexcept;
  DepparsePlan& operator=(DepparsePlan&& other) noexcept;
  DepparsePlan(const DepparsePlan&) = delete;
  DepparsePlan& operator=(const DepparsePlan&) = delete;

  const ModelBundle& bundle() const;

  // One prediction per word, in word order; an empty sentence gives none.
  std::vector<DepparsePrediction> parse(const std::vector<DepparseWord>& words) const;

  // Parses every sentence and writes each word's head and relation; the
  // sentences share length-sorted batches, exactly as in process_bulk(), and
  // nothing is written until every sentence has been parsed. Every word needs
  // a UPOS or an XPOS. Returns the same document.
  Document process(Document document) const;

  // process() for every document, with the sentences of all documents sharing
  // the batches. Returns the same documents in the same order.
  std::vector<Document> process_bulk(std::vector<Document> documents) const;

  // process() and process_bulk() as a stage of a pipeline call, which may
  // share work with another stage of the same call (null: none).
  Document process(Document document, detail::PipelineCall* call) const;
  std::vector<Document> process_bulk(std::vector<Document> documents,
                                     detail::PipelineCall* call) const;

  // The loaded model, for the library's own stages.
  const Impl& impl() const;

private:
  std::unique_ptr<Impl> impl_;
};

} // namespace velmora
