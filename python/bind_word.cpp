#include "bindings.hpp"

#include <velmora/document.hpp>

#include "document_dict.hpp"

namespace velmora::python {

void bind_word(nb::module_& m) {
  nb::class_<Word>(m, "Word")
      // An int, or (id, empty index) for an empty word.
      .def_prop_ro("id",
                   [](const Word& word) -> nb::object {
                     const std::optional<std::int32_t> empty_index = word.empty_index();
                     if (empty_index) {
                       return nb::make_tuple(word.id(), *empty_index);
                     }
                     return nb::int_(word.id());
                   })
      .def_prop_rw("text", &Word::text, &Word::set_text)
      .def_prop_rw("lemma", &Word::lemma, &Word::set_lemma)
      .def_prop_rw("upos", &Word::upos, &Word::set_upos)
      .def_prop_rw("pos", &Word::upos, &Word::set_upos)
      .def_prop_rw("xpos", &Word::xpos, &Word::set_xpos)
      .def_prop_rw("feats", &Word::feats, &Word::set_feats)
      // A named setter, so that a value it refuses is reported by name.
      .def_prop_rw("head", &Word::head, &Word::set_head, nb::for_setter(nb::name("head")))
      .def_prop_rw("deprel", &Word::deprel, &Word::set_deprel)
      .def_prop_rw("deps", &Word::deps, &Word::set_deps)
      .def_prop_rw("misc", &Word::misc, &Word::set_misc)
      .def_prop_ro("start_char", &Word::start_char)
      .def_prop_ro("end_char", &Word::end_char)
      .def_prop_ro("manual_expansion", &Word::manual_expansion)
      .def_prop_rw("morphemes", &Word::morphemes, &Word::set_morphemes)
      .def_prop_ro("coref_chains", &Word::coref_chains)
      .def_prop_ro("parent", &Word::parent)
      .def_prop_ro("sent", &Word::sent)
      .def("to_dict", &word_to_dict)
      .def("__repr__", [](const Word& word) { return nb::repr(word_to_dict(word)); })
      .def("__eq__", [](const Word& word, const Word& other) { return word.same_view(other); });
}

} // namespace velmora::python
