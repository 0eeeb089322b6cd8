#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include <velmora/document.hpp>
#include <velmora/errors.hpp>
#include <velmora/model_bundle.hpp>

namespace velmora {

// The multi-word-token expander of an "mwt" bundle. It turns the surface text
// of a token into its words separated by spaces, answering from an expansion
// dictionary, from a native character model that only decides where spaces go
// between the token's own characters, or from the character seq2seq model
// (optionally after the dictionary). Immutable once loaded, so one plan may
// serve several threads at once. Movable, not copyable; a moved-from plan may
// only be destroyed or assigned to.
class MWTPlan {
public:
  class Impl;

  // Throws ModelBundleError when the bundle cannot be opened or verified,
  // Seq2SeqModelError when its seq2seq model cannot be loaded, and
  // MWTModelError for a bundle of another kind, assets it cannot read or
  // native-model tensors it cannot use.
  MWTPlan(std::filesystem::path bundle_path, bool verify_checksums);
  ~MWTPlan();
  MWTPlan(MWTPlan&& other) noexcept;
  MWTPlan& operator=(MWTPlan&& other) noexcept;
  MWTPlan(const MWTPlan&) = delete;
  MWTPlan& operator=(const MWTPlan&) = delete;

  const ModelBundle& bundle() const;

  // The words of one token joined by single spaces, or the token itself when
  // no expansion into several words is found. Throws std::invalid_argument for
  // ill-formed UTF-8 that is not an exact dictionary key.
  std::string expand(const std::string& token) const;

  // Replaces the words of every token marked "MWT=Yes" in its MISC by the
  // words of its expansion, renumbers the words of every sentence, and
  // rebuilds the document's storage in place: the result shares the storage
  // of `document`, and every handle on it sees the new words. Views of word
  // rows made before the call must be made again. Constituency trees and
  // coreference chains do not survive the rebuild. On failure the storage is
  // unchanged.
  Document process(const Document& document) const;

private:
  const Impl& impl() const;

  std::unique_ptr<Impl> impl_;
};

} // namespace velmora
