#include "bindings.hpp"

#include <memory>
#include <stdexcept>
#include <string>

#include <velmora/coref.hpp>

#include "convert.hpp"
#include "document_dict.hpp"

namespace velmora::python {
namespace {

using namespace nb::literals;

// A word number, or a (word id, empty index) pair naming an empty word.
CorefWordPosition read_position(nb::handle value, const char* name) {
  if (PyLong_Check(value.ptr())) {
    return {index_int32(value, name), std::nullopt};
  }
  const Py_ssize_t length = PyObject_Size(value.ptr());
  if (length < 0) {
    throw nb::python_error();
  }
  if (length != 2) {
    throw std::invalid_argument("a zero-anaphora word position must contain two integers");
  }
  const auto item = [&](Py_ssize_t index) {
    nb::object element = nb::steal(PySequence_GetItem(value.ptr(), index));
    if (!element.is_valid()) {
      throw nb::python_error();
    }
    return index_int32(element, name);
  };
  const int word = item(0);
  return {word, item(1)};
}

nb::object position_value(const CorefWordPosition& position) {
  if (position.empty_index) {
    return nb::make_tuple(position.word, *position.empty_index);
  }
  return nb::int_(position.word);
}

} // namespace

void bind_coref_values(nb::module_& m) {
  nb::class_<CorefMention>(m, "CorefMention")
      .def(
          "__init__",
          [](CorefMention* self, int sentence, nb::handle start_word, nb::handle end_word) {
            const CorefWordPosition start = read_position(start_word, "start_word");
            const CorefWordPosition end = read_position(end_word, "end_word");
            new (self) CorefMention(sentence, start, end);
          },
          "sentence"_a, "start_word"_a, "end_word"_a)
      .def_prop_ro("sentence", &CorefMention::sentence)
      .def_prop_ro("start_word",
                   [](const CorefMention& mention) { return position_value(mention.start_word()); })
      .def_prop_ro("end_word",
                   [](const CorefMention& mention) { return position_value(mention.end_word()); })
      .def("__repr__", [](const CorefMention& mention) {
        return "<CorefMention sentence=" + std::to_string(mention.sentence()) + ">";
      });

  nb::class_<CorefChain>(m, "CorefChain")
      .def(nb::init<int, std::vector<CorefMention>, std::string, std::optional<int>>(), "index"_a,
           "mentions"_a, "representative_text"_a, "representative_index"_a.none() = nb::none())
      .def_prop_ro("index", &CorefChain::index)
      // The elements refer into the chain and keep it alive.
      .def_prop_ro("mentions", &CorefChain::mentions, nb::rv_policy::reference_internal)
      .def_prop_ro("representative_text", &CorefChain::representative_text)
      .def_prop_ro("representative_index", &CorefChain::representative_index)
      .def("__repr__", [](const CorefChain& chain) {
        return "<CorefChain index=" + std::to_string(chain.index()) +
               " representative=" + chain.representative_text() + ">";
      });

  nb::class_<CorefAttachment>(m, "CorefAttachment")
      .def(
          "__init__",
          [](CorefAttachment* self, const CorefChain& chain, bool is_start, bool is_end,
             bool is_representative) {
            new (self) CorefAttachment(std::make_shared<const CorefChain>(chain), is_start, is_end,
                                       is_representative);
          },
          "chain"_a, "is_start"_a, "is_end"_a, "is_representative"_a)
      .def_prop_ro("chain", &CorefAttachment::chain)
      .def_prop_ro("is_start", &CorefAttachment::is_start)
      .def_prop_ro("is_end", &CorefAttachment::is_end)
      .def_prop_ro("is_representative", &CorefAttachment::is_representative)
      .def("to_json", &attachment_to_dict)
      .def("__repr__", [](const CorefAttachment& attachment) {
        return "<CorefAttachment chain=" + std::to_string(attachment.chain()->index()) + ">";
      });
}

} // namespace velmora::python
