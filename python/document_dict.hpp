#pragma once

#include "bindings.hpp"

#include <velmora/document.hpp>

// The dictionary form of documents and their views: what to_dict, to_json and
// the JSON and repr renderings show.
namespace velmora::python {

// One list of entries per sentence.
nb::list document_to_dict(const Document& document);
// The sentence's multi-word-token, word and empty-word entries in reading
// order.
nb::list sentence_to_dict(const Sentence& sentence);
// A multi-word token's own entry followed by its words' entries, or the entry
// of a single-word token's word.
nb::list token_to_dict(const Token& token);
// The word on its own: stored misc, no entity tags.
nb::dict word_to_dict(const Word& word);
nb::dict span_to_dict(const Span& span);
nb::dict attachment_to_dict(const CorefAttachment& attachment);

} // namespace velmora::python
