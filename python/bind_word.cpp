#include "bindings.hpp"

#include <velmora/document.hpp>

#include "document_dict.hpp"
#include "document_guard.hpp"
#include "identity_hash.hpp"

namespace velmora::python {

void bind_word(nb::module_& m) {
  nb::class_<Word>(m, "Word")
      // An int, or (id, empty index) for an empty word.
      .def_prop_ro("id", guarded([](const Word& word) -> nb::object {
                     const std::optional<std::int32_t> empty_index = word.empty_index();
                     if (empty_index) {
                       return nb::make_tuple(word.id(), *empty_index);
                     }
                     return nb::int_(word.id());
                   }))
      .def_prop_rw("text", guarded<&Word::text>(), guarded<&Word::set_text>())
      .def_prop_rw("lemma", guarded<&Word::lemma>(), guarded<&Word::set_lemma>())
      .def_prop_rw("upos", guarded<&Word::upos>(), guarded<&Word::set_upos>())
      .def_prop_rw("pos", guarded<&Word::upos>(), guarded<&Word::set_upos>())
      .def_prop_rw("xpos", guarded<&Word::xpos>(), guarded<&Word::set_xpos>())
      .def_prop_rw("feats", guarded<&Word::feats>(), guarded<&Word::set_feats>())
      // A named setter, so that a value it refuses is reported by name.
      .def_prop_rw("head", guarded<&Word::head>(), guarded<&Word::set_head>(),
                   nb::for_setter(nb::name("head")))
      .def_prop_rw("deprel", guarded<&Word::deprel>(), guarded<&Word::set_deprel>())
      .def_prop_rw("deps", guarded<&Word::deps>(), guarded<&Word::set_deps>())
      .def_prop_rw("misc", guarded<&Word::misc>(), guarded<&Word::set_misc>())
      .def_prop_ro("start_char", guarded<&Word::start_char>())
      .def_prop_ro("end_char", guarded<&Word::end_char>())
      .def_prop_ro("manual_expansion", guarded<&Word::manual_expansion>())
      .def_prop_rw("morphemes", guarded<&Word::morphemes>(), guarded<&Word::set_morphemes>())
      .def_prop_ro("coref_chains", guarded<&Word::coref_chains>())
      .def_prop_ro("parent", guarded<&Word::parent>())
      .def_prop_ro("sent", guarded<&Word::sent>())
      .def("to_dict", guarded<&word_to_dict>())
      .def("__repr__", guarded([](const Word& word) { return nb::repr(word_to_dict(word)); }))
      .def("__eq__", [](const Word& word, const Word& other) { return word.same_view(other); })
      // Equal words share storage and row; the ROOT words of different
      // sentences, equal to none but themselves, share a hash.
      .def("__hash__", [](const Word& word) {
        return identity_hash(word.storage().get(), RowKind::kWord, word.index());
      });
}

} // namespace velmora::python
