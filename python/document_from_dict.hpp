#pragma once

#include "bindings.hpp"

#include <velmora/document.hpp>

namespace velmora::python {

// Builds a document over `text` (None: the empty text) from a list of
// sentences in the dictionary form.
Document document_from_dict(nb::handle sentences, nb::handle text);

} // namespace velmora::python
