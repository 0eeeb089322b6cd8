#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <velmora/document.hpp>
#include <velmora/errors.hpp>

namespace velmora {

namespace detail {
class PipelineCall;
} // namespace detail

class ModelBundle;

// The tags of one word. `xpos` and `feats` hold "_" when the model predicts
// nothing for them.
struct POSTags {
  std::string upos;
  std::string xpos;
  std::string feats;

  bool operator==(const POSTags&) const = default;
};

// The part-of-speech and morphological-feature tagger of a "pos" bundle: it
// gives every word a universal tag, a language-specific tag and a feature
// string. Immutable once loaded, so one plan may serve several threads at
// once. Movable, not copyable; a moved-from plan may only be destroyed or
// assigned to.
class POSPlan {
public:
  struct Impl;

  // Throws ModelBundleError when the bundle cannot be opened or verified, and
  // POSModelError for a bundle of another kind, an architecture the tagger
  // cannot run or assets it cannot read.
  POSPlan(std::filesystem::path bundle_path, bool verify_checksums);
  ~POSPlan();
  POSPlan(POSPlan&& other) noexcept;
  POSPlan& operator=(POSPlan&& other) noexcept;
  POSPlan(const POSPlan&) = delete;
  POSPlan& operator=(const POSPlan&) = delete;

  const ModelBundle& bundle() const;

  // The tags of one sentence's words, one record per word in order.
  std::vector<POSTags> tag(const std::vector<std::string>& words) const;

  // Tags every sentence and writes UPOS, XPOS and features into its words
  // ("_" clears the annotation); the sentences share length-sorted batches,
  // exactly as in process_bulk(), and nothing is written until every
  // sentence has been tagged. Returns the same document.
  Document process(Document document) const;

  // process() for every document, with the sentences of all documents
  // sharing the batches. Returns the same documents in the same order.
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
