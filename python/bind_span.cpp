#include "bindings.hpp"

#include <string>

#include <velmora/document.hpp>

#include "document_dict.hpp"

namespace velmora::python {

void bind_span(nb::module_& m) {
  nb::class_<Span>(m, "Span")
      .def_prop_ro("text", &Span::text)
      .def_prop_ro("type", &Span::type)
      .def_prop_ro("start_char", &Span::start_char)
      .def_prop_ro("end_char", &Span::end_char)
      .def_prop_ro("tokens", &Span::tokens)
      .def_prop_ro("words", &Span::words)
      .def_prop_ro("sent", &Span::sent)
      .def_prop_ro("doc", &Span::doc)
      .def("to_dict", &span_to_dict)
      .def("pretty_print",
           [](const Span& span) {
             return "<Span text=" + span.text() + ";type=" + span.type() + ">";
           })
      .def("__repr__", [](const Span& span) { return nb::repr(span_to_dict(span)); })
      .def("__eq__", [](const Span& span, const Span& other) { return span.same_view(other); });
}

} // namespace velmora::python
