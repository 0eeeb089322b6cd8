#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <velmora/document.hpp>
#include <velmora/errors.hpp>

namespace velmora {

class ModelBundle;

// The named-entity tagger of an "ner" bundle: a bidirectional LSTM over word,
// character (or character language model) and optional transformer features,
// one linear head per tag set and a conditional random field that decodes
// BIOES tags. Immutable once loaded, so one plan may serve several threads at
// once. Movable, not copyable; a moved-from plan may only be destroyed or
// assigned to.
class NERPlan {
public:
  struct Impl;

  // Throws ModelBundleError when the bundle cannot be opened or verified (and
  // the character language models' and transformer's own errors), and
  // NERModelError for a bundle of another kind, an architecture the tagger
  // cannot run or assets it cannot read.
  NERPlan(std::filesystem::path bundle_path, bool verify_checksums);
  ~NERPlan();
  NERPlan(NERPlan&& other) noexcept;
  NERPlan& operator=(NERPlan&& other) noexcept;
  NERPlan(const NERPlan&) = delete;
  NERPlan& operator=(const NERPlan&) = delete;

  const ModelBundle& bundle() const;

  // One well-formed BIOES tag per word of one sentence, in order.
  std::vector<std::string> tag(const std::vector<std::string>& words) const;

  // Tags the token texts of every sentence (a multi-word token once, by its
  // surface text), sets each token's tag and its one-element list of tags,
  // and rebuilds the entity spans. Every sentence is tagged before anything
  // is written, so a failure leaves the document as it was. Returns the same
  // document.
  Document process(Document document) const;
  // process for every document, with the sentences of all of them tagged in
  // one batch. When tagging fails, the documents are processed one by one,
  // so those before the failing one keep their tags and its error
  // propagates.
  std::vector<Document> process_bulk(std::vector<Document> documents) const;

private:
  std::unique_ptr<Impl> impl_;
};

} // namespace velmora
