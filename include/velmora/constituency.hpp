#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <velmora/constituency_tree.hpp>
#include <velmora/document.hpp>
#include <velmora/errors.hpp>

namespace velmora {

class ModelBundle;

// The in-order transition constituency parser of a "constituency" bundle.
// Immutable once loaded, so one plan may serve several threads at once.
// Movable, not copyable; a moved-from plan may only be destroyed or assigned
// to.
class ConstituencyPlan {
public:
  struct Impl;

  // Throws ModelBundleError when the bundle cannot be opened or verified, and
  // ConstituencyModelError for a bundle of another kind, an architecture the
  // parser cannot run or assets it cannot read.
  ConstituencyPlan(std::filesystem::path bundle_dir, bool verify_checksums);
  ~ConstituencyPlan();
  ConstituencyPlan(ConstituencyPlan&& other) noexcept;
  ConstituencyPlan& operator=(ConstituencyPlan&& other) noexcept;
  ConstituencyPlan(const ConstituencyPlan&) = delete;
  ConstituencyPlan& operator=(const ConstituencyPlan&) = delete;

  const ModelBundle& bundle() const;
  // True when the parser reads XPOS tags, false when it reads UPOS tags.
  bool uses_xpos() const;

  // The tree of one sentence: its word texts and their tags, in order.
  ConstituencyTree parse(const std::vector<std::string>& words,
                         const std::vector<std::string>& tags) const;
  // One tree per sentence, the sentences spread over the calling thread's
  // team; the failure of the earliest failing sentence propagates and no
  // tree is returned.
  std::vector<ConstituencyTree> parse_many(const std::vector<std::vector<std::string>>& words,
                                           const std::vector<std::vector<std::string>>& tags) const;

  // Parses every sentence of the document from its regular words and their
  // XPOS (or UPOS) tags and then stores each tree in its sentence. Nothing is
  // stored unless every sentence parses. Returns the same document.
  Document process(Document document) const;
  // process() for each document in order. A failure leaves the documents
  // before it with their trees and propagates.
  std::vector<Document> process_bulk(std::vector<Document> documents) const;

private:
  std::unique_ptr<Impl> impl_;
};

} // namespace velmora
