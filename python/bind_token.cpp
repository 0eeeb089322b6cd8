#include "bindings.hpp"

#include <velmora/document.hpp>

#include "document_dict.hpp"

namespace velmora::python {

void bind_token(nb::module_& m) {
  nb::class_<Token>(m, "Token")
      // Always a tuple: (id,) for a single word, (first, last) for a
      // multi-word token.
      .def_prop_ro("id",
                   [](const Token& token) -> nb::tuple {
                     const auto [first, last] = token.id_range();
                     if (first == last) {
                       return nb::make_tuple(first);
                     }
                     return nb::make_tuple(first, last);
                   })
      .def_prop_rw("text", &Token::text, &Token::set_text)
      .def_prop_rw("misc", &Token::misc, &Token::set_misc)
      .def_prop_rw("ner", &Token::ner, &Token::set_ner)
      .def_prop_rw("multi_ner", &Token::multi_ner, &Token::set_multi_ner)
      .def_prop_ro("start_char", &Token::start_char)
      .def_prop_ro("end_char", &Token::end_char)
      .def_prop_rw("manual_expansion", &Token::manual_expansion, &Token::set_manual_expansion)
      .def_prop_rw("spaces_before", &Token::spaces_before, &Token::set_spaces_before)
      .def_prop_rw("spaces_after", &Token::spaces_after, &Token::set_spaces_after)
      .def_prop_ro("words", &Token::words)
      .def_prop_ro("sent", &Token::sent)
      .def("is_mwt", &Token::is_mwt)
      .def("to_dict", &token_to_dict)
      .def("__repr__", [](const Token& token) { return nb::repr(token_to_dict(token)); })
      .def("__eq__", [](const Token& token, const Token& other) { return token.same_view(other); });
}

} // namespace velmora::python
