#include "bindings.hpp"

#include <velmora/document.hpp>

#include "document_dict.hpp"
#include "document_guard.hpp"
#include "identity_hash.hpp"

namespace velmora::python {

void bind_token(nb::module_& m) {
  nb::class_<Token>(m, "Token")
      // Always a tuple: (id,) for a single word, (first, last) for a
      // multi-word token.
      .def_prop_ro("id", guarded([](const Token& token) -> nb::tuple {
                     const auto [first, last] = token.id_range();
                     if (first == last) {
                       return nb::make_tuple(first);
                     }
                     return nb::make_tuple(first, last);
                   }))
      .def_prop_rw("text", guarded<&Token::text>(), guarded<&Token::set_text>())
      .def_prop_rw("misc", guarded<&Token::misc>(), guarded<&Token::set_misc>())
      .def_prop_rw("ner", guarded<&Token::ner>(), guarded<&Token::set_ner>())
      .def_prop_rw("multi_ner", guarded<&Token::multi_ner>(), guarded<&Token::set_multi_ner>())
      .def_prop_ro("start_char", guarded<&Token::start_char>())
      .def_prop_ro("end_char", guarded<&Token::end_char>())
      .def_prop_rw("manual_expansion", guarded<&Token::manual_expansion>(),
                   guarded<&Token::set_manual_expansion>())
      .def_prop_rw("spaces_before", guarded<&Token::spaces_before>(),
                   guarded<&Token::set_spaces_before>())
      .def_prop_rw("spaces_after", guarded<&Token::spaces_after>(),
                   guarded<&Token::set_spaces_after>())
      .def_prop_ro("words", guarded<&Token::words>())
      .def_prop_ro("sent", guarded<&Token::sent>())
      .def("is_mwt", guarded<&Token::is_mwt>())
      .def("to_dict", guarded<&token_to_dict>())
      .def("__repr__", guarded([](const Token& token) { return nb::repr(token_to_dict(token)); }))
      .def("__eq__", [](const Token& token, const Token& other) { return token.same_view(other); })
      .def("__hash__", [](const Token& token) {
        return identity_hash(token.storage().get(), RowKind::kToken, token.index());
      });
}

} // namespace velmora::python
