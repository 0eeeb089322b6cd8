#include "bindings.hpp"

#include <cstdint>
#include <string>
#include <type_traits>

#include <velmora/constituency_tree.hpp>
#include <velmora/document.hpp>
#include <velmora/sequences.hpp>

#include "document_guard.hpp"

namespace velmora::python {
namespace {

// Walks its own copy of a sequence view; once past the end it stays there.
template <typename Sequence> struct ViewIterator {
  Sequence sequence;
  std::uint64_t position = 0;

  const auto& storage() const noexcept { return sequence.storage(); }
};

// Tree sequences hold their own nodes and reach no document: nothing to check.
template <typename Sequence, typename F> auto checked_if_document(F function) {
  if constexpr (std::is_same_v<Sequence, TreeSequence>) {
    return function;
  } else {
    return guarded(function);
  }
}

// The five sequence families share one design: the iterator class is
// registered first, then the sequence class.
template <typename Sequence, typename Element>
void bind_family(nb::module_& m, const char* iterator_name, const char* sequence_name) {
  using Iterator = ViewIterator<Sequence>;
  const auto checked = [](auto function) { return checked_if_document<Sequence>(function); };

  nb::class_<Iterator>(m, iterator_name)
      .def(
          "__iter__", [](Iterator& iterator) -> Iterator& { return iterator; },
          nb::rv_policy::reference)
      .def("__next__", checked([](Iterator& iterator) -> Element {
             if (iterator.position >= iterator.sequence.size()) {
               throw nb::stop_iteration();
             }
             Element element = iterator.sequence.at(static_cast<std::int64_t>(iterator.position));
             ++iterator.position;
             return element;
           }));

  const std::string repr_prefix = std::string("<velmora.") + sequence_name + " length=";
  nb::class_<Sequence>(m, sequence_name)
      .def("__len__", checked([](const Sequence& sequence) { return sequence.size(); }))
      .def("__getitem__",
           checked([](const Sequence& sequence, std::int64_t index) { return sequence.at(index); }))
      .def("__getitem__", checked([](const Sequence& sequence, nb::slice slice) {
             Py_ssize_t start = 0;
             Py_ssize_t stop = 0;
             Py_ssize_t step = 0;
             if (PySlice_Unpack(slice.ptr(), &start, &stop, &step) < 0) {
               throw nb::python_error();
             }
             const Py_ssize_t count = PySlice_AdjustIndices(
                 static_cast<Py_ssize_t>(sequence.size()), &start, &stop, step);
             return sequence.slice(start, step, static_cast<std::uint64_t>(count));
           }))
      .def("__iter__", checked([](const Sequence& sequence) {
             return Iterator{sequence, 0};
           }))
      .def("__reversed__", checked([](const Sequence& sequence) {
             return Iterator{sequence.reversed(), 0};
           }))
      .def("__contains__", checked([](const Sequence& sequence, const Element& element) {
             return sequence.contains(element);
           }))
      .def("__repr__", checked([repr_prefix](const Sequence& sequence) {
             return repr_prefix + std::to_string(sequence.size()) + ">";
           }));
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
