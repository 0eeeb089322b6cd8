#include "bindings.hpp"

#include <string>

#include <velmora/document.hpp>

#include "document_dict.hpp"
#include "document_guard.hpp"
#include "identity_hash.hpp"

namespace velmora::python {

void bind_span(nb::module_& m) {
  nb::class_<Span>(m, "Span")
      .def_prop_ro("text", guarded<&Span::text>())
      .def_prop_ro("type", guarded<&Span::type>())
      .def_prop_ro("start_char", guarded<&Span::start_char>())
      .def_prop_ro("end_char", guarded<&Span::end_char>())
      .def_prop_ro("tokens", guarded<&Span::tokens>())
      .def_prop_ro("words", guarded<&Span::words>())
      .def_prop_ro("sent", guarded<&Span::sent>())
      .def_prop_ro("doc", guarded<&Span::doc>())
      .def("to_dict", guarded<&span_to_dict>())
      .def("pretty_print", guarded([](const Span& span) {
             return "<Span text=" + span.text() + ";type=" + span.type() + ">";
           }))
      .def("__repr__", guarded([](const Span& span) { return nb::repr(span_to_dict(span)); }))
      .def("__eq__", [](const Span& span, const Span& other) { return span.same_view(other); })
      .def("__hash__", [](const Span& span) {
        return identity_hash(span.storage().get(), RowKind::kSpan, span.index());
      });
}

} // namespace velmora::python
