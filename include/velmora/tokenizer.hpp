#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <velmora/document.hpp>
#include <velmora/errors.hpp>
#include <velmora/model_bundle.hpp>

namespace velmora {

// The neural tokenizer and sentence splitter: a character-level bidirectional
// LSTM that labels every character of a paragraph as inside a token, end of a
// token, end of a sentence or end of a multi-word token, and turns the labels
// into a new document. Immutable once loaded, so one plan may serve several
// threads at once. Movable, not copyable; a moved-from plan may only be
// destroyed or assigned to.
class TokenizerPlan {
public:
  class Impl;

  // Opens a "tokenize" bundle. Throws ModelBundleError when the bundle cannot
  // be opened, TokenizerModelError for anything the tokenizer refuses.
  TokenizerPlan(std::filesystem::path bundle_path, bool verify_checksums);
  ~TokenizerPlan();
  TokenizerPlan(TokenizerPlan&& other) noexcept;
  TokenizerPlan& operator=(TokenizerPlan&& other) noexcept;
  TokenizerPlan(const TokenizerPlan&) = delete;
  TokenizerPlan& operator=(const TokenizerPlan&) = delete;

  const ModelBundle& bundle() const;

  // A new document over the same text with the tokenizer's sentences and
  // tokens, and the bundle's language; only the input's text is read.
  Document process(const Document& document) const;
  // process() for every document, with short paragraphs of all documents
  // sharing padded batches. Same results as calling process() one by one.
  std::vector<Document> process_bulk(const std::vector<Document>& documents) const;
  // The raw labels of a text of at most one paragraph (0 inside a token,
  // 1 token end, 2 sentence end, 3 multi-word-token end, 4 both), one per
  // character after whitespace normalisation.
  std::vector<std::int64_t> predict_labels(const std::string& text) const;

private:
  std::unique_ptr<Impl> impl_;
};

} // namespace velmora
