#include "bindings.hpp"

#include <string>
#include <vector>

#include <velmora/document.hpp>

#include "convert.hpp"
#include "document_dict.hpp"
#include "document_from_dict.hpp"

namespace velmora::python {

void bind_document(nb::module_& m) {
  using namespace nb::literals;
  nb::class_<Document>(m, "Document")
      .def(nb::init<std::string>(), "text"_a = "")
      .def_static(
          "from_dict",
          [](nb::sequence sentences, nb::object text) {
            return document_from_dict(sentences, text);
          },
          "sentences"_a, "text"_a.none() = nb::none())
      .def_prop_ro("text", &Document::text)
      .def_prop_ro("codepoint_count", &Document::codepoint_count)
      .def(
          "byte_offset",
          [](const Document& document, std::uint64_t codepoint_index) {
            return document.byte_offset(codepoint_index);
          },
          "codepoint_index"_a)
      .def_prop_rw("lang", &Document::lang, &Document::set_lang)
      .def_prop_ro("sentences", &Document::sentences)
      .def_prop_ro("ents", &Document::ents)
      .def_prop_ro("entities", &Document::ents)
      .def_prop_ro("num_tokens", &Document::num_tokens)
      .def_prop_ro("num_words", &Document::num_words)
      // The elements share the stored chains, the ones the words' attachments
      // point to.
      .def_prop_rw("coref", &Document::coref, &Document::set_coref)
      .def("iter_words", &Document::words)
      .def("iter_tokens", &Document::tokens)
      .def("rebuild_entities", &Document::rebuild_entities)
      .def("to_dict", &document_to_dict)
      .def("to_conll", &Document::to_conll)
      .def("__format__",
           [](const Document& document, const std::string& spec) {
             if (wants_conll(spec)) {
               return document.to_conll();
             }
             return dumps_json(document_to_dict(document), false);
           })
      .def("__repr__",
           [](const Document& document) { return dumps_json(document_to_dict(document), true); })
      .def("__eq__", [](const Document& document, const Document& other) {
        return document.same_storage(other);
      });
}

} // namespace velmora::python
