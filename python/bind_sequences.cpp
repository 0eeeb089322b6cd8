#include "bindings.hpp"

#include <cstdint>
#include <string>

#include <velmora/constituency_tree.hpp>
#include <velmora/document.hpp>
#include <velmora/sequences.hpp>

namespace velmora::python {
namespace {

// Walks its own copy of a sequence view; once past the end it stays there.
template <typename Sequence> struct ViewIterator {
  Sequence sequence;
  std::uint64_t position = 0;
};

// The five sequence families share one design: the iterator class is
// registered first, then the sequence class.
template <typename Sequence, typename Element>
void bind_family(nb::module_& m, const char* iterator_name, const char* sequence_name) {
  using Iterator = ViewIterator<Sequence>;

  nb::class_<Iterator>(m, iterator_name)
      .def(
          "__iter__", [](Iterator& iterator) -> Iterator& { return iterator; },
          nb::rv_policy::reference)
      .def("__next__", [](Iterator& iterator) -> Element {
        if (iterator.position >= iterator.sequence.size()) {
          throw nb::stop_iteration();
        }
        Element element = iterator.sequence.at(static_cast<std::int64_t>(iterator.position));
        ++iterator.position;
        return element;
      });

  const std::string repr_prefix = std::string("<velmora.") + sequence_name + " length=";
  nb::class_<Sequence>(m, sequence_name)
      .def("__len__", &Sequence::size)
      .def("__getitem__",
           [](const Sequence& sequence, std::int64_t index) { return sequence.at(index); })
      .def("__getitem__",
           [](const Sequence& sequence, nb::slice slice) {
             Py_ssize_t start = 0;
             Py_ssize_t stop = 0;
             Py_ssize_t step = 0;
             if (PySlice_Unpack(slice.ptr(), &start, &stop, &step) < 0) {
               throw nb::python_error();
             }
             const Py_ssize_t count = PySlice_AdjustIndices(
                 static_cast<Py_ssize_t>(sequence.size()), &start, &stop, step);
             return sequence.slice(start, step, static_cast<std::uint64_t>(count));
           })
      .def("__iter__",
           [](const Sequence& sequence) {
             return Iterator{sequence, 0};
           })
      .def("__reversed__",
           [](const Sequence& sequence) {
             return Iterator{sequence.reversed(), 0};
           })
      .def("__contains__", [](const Sequence& sequence,
                              const Element& element) { return sequence.contains(element); })
      .def("__repr__", [repr_prefix](const Sequence& sequence) {
        return repr_prefix + std::to_string(sequence.size()) + ">";
      });
}

} // namespace

void bind_sequences(nb::module_& m) {
  bind_family<SentenceSequence, Sentence>(m, "_SentenceIterator", "SentenceSequence");
  bind_family<TokenSequence, Token>(m, "_TokenIterator", "TokenSequence");
  bind_family<WordSequence, Word>(m, "_WordIterator", "WordSequence");
  bind_family<SpanSequence, Span>(m, "_SpanIterator", "SpanSequence");
  bind_family<TreeSequence, ConstituencyTree>(m, "_TreeIterator", "TreeSequence");
}

} // namespace velmora::python
