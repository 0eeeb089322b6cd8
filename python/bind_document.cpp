#include "bindings.hpp"

#include <string>
#include <vector>

#include <velmora/document.hpp>

#include "convert.hpp"
#include "document_dict.hpp"
#include "document_from_dict.hpp"
#include "document_guard.hpp"
#include "identity_hash.hpp"

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
      .def_prop_ro("text", guarded<&Document::text>())
      .def_prop_ro("codepoint_count", guarded<&Document::codepoint_count>())
      .def("byte_offset", guarded([](const Document& document, std::uint64_t codepoint_index) {
             return document.byte_offset(codepoint_index);
           }),
           "codepoint_index"_a)
      .def_prop_rw("lang", guarded<&Document::lang>(), guarded<&Document::set_lang>())
      .def_prop_ro("sentences", guarded<&Document::sentences>())
      .def_prop_ro("ents", guarded<&Document::ents>())
      .def_prop_ro("entities", guarded<&Document::ents>())
      .def_prop_ro("num_tokens", guarded<&Document::num_tokens>())
      .def_prop_ro("num_words", guarded<&Document::num_words>())
      // The elements share the stored chains, the ones the words' attachments
      // point to.
      .def_prop_rw("coref", guarded<&Document::coref>(), guarded<&Document::set_coref>())
      .def("iter_words", guarded<&Document::words>())
      .def("iter_tokens", guarded<&Document::tokens>())
      .def("rebuild_entities", guarded<&Document::rebuild_entities>())
      .def("to_dict", guarded<&document_to_dict>())
      .def("to_conll", guarded<&Document::to_conll>())
      .def("__format__", guarded([](const Document& document, const std::string& spec) {
             if (wants_conll(spec)) {
               return document.to_conll();
             }
             return dumps_json(document_to_dict(document), false);
           }))
      .def("__repr__", guarded([](const Document& document) {
             return dumps_json(document_to_dict(document), true);
           }))
      .def("__eq__", [](const Document& document,
                        const Document& other) { return document.same_storage(other); })
      .def("__hash__", [](const Document& document) {
        return identity_hash(document.storage().get(), RowKind::kDocument);
      });
}

} // namespace velmora::python
