#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <velmora/document.hpp>
#include <velmora/errors.hpp>
#include <velmora/model_bundle.hpp>

namespace velmora {

// The lemmatiser of a "lemma" bundle: a lemma dictionary keyed by UPOS tag and
// word form, backed (unless the bundle is dictionary-only) by the character
// seq2seq model, whose optional edit class keeps its prediction, keeps the
// word form or lower-cases it. Immutable once loaded, so one plan may serve
// several threads at once. Movable, not copyable; a moved-from plan may only
// be destroyed or assigned to.
class LemmaPlan {
public:
  class Impl;

  // Throws ModelBundleError when the bundle cannot be opened or verified,
  // Seq2SeqModelError when its seq2seq model cannot be loaded, and
  // LemmaModelError for a bundle of another kind, assets it cannot read or a
  // POS setting its seq2seq model does not share.
  LemmaPlan(std::filesystem::path bundle_path, bool verify_checksums);
  ~LemmaPlan();
  LemmaPlan(LemmaPlan&& other) noexcept;
  LemmaPlan& operator=(LemmaPlan&& other) noexcept;
  LemmaPlan(const LemmaPlan&) = delete;
  LemmaPlan& operator=(const LemmaPlan&) = delete;

  const ModelBundle& bundle() const;
  // Whether the bundle expects UPOS tags (then the tagger must run first).
  bool uses_pos() const;

  // The lemma of one word; "_" stands for an empty lemma. A word without UPOS
  // is looked up and predicted under the tag "_".
  std::string lemmatize(const std::string& word, const std::optional<std::string>& upos) const;

  // Sets the lemma of every word, every dictionary miss predicted in one
  // batched call as in process_bulk(); no lemma is written before the whole
  // batch is predicted. Returns the same document.
  Document process(Document document) const;

  // process() for every document, with the misses of all documents in one
  // batched call. Returns the same documents in the same order.
  std::vector<Document> process_bulk(std::vector<Document> documents) const;

private:
  const Impl& impl() const;

  std::unique_ptr<Impl> impl_;
};

} // namespace velmora
