#include "bindings.hpp"

#include <stdexcept>
#include <string>

#include <velmora/document.hpp>

#include "convert.hpp"
#include "document_dict.hpp"
#include "document_guard.hpp"
#include "identity_hash.hpp"

namespace velmora::python {
namespace {

// (head word, relation, dependent) for every regular word with both a head and
// a relation. A head that names no word of the sentence fails the whole list.
nb::list dependencies(const Sentence& sentence) {
  nb::list edges;
  const WordSequence words = sentence.words();
  for (std::uint64_t i = 0; i < words.size(); ++i) {
    const Word word = words.at(static_cast<std::int64_t>(i));
    const std::optional<std::int32_t> head = word.head();
    const std::optional<std::string> deprel = word.deprel();
    if (!head || !deprel) {
      continue;
    }
    if (*head < 0) {
      // Read as an index from the end, it would name some other word.
      throw std::out_of_range("index is outside the sequence");
    }
    const Word head_word = *head == 0 ? Word(sentence.storage(), Word::kRootRow, sentence.index())
                                      : words.at(std::int64_t{*head} - 1);
    edges.append(nb::make_tuple(head_word, to_str(*deprel), word));
  }
  return edges;
}

nb::list roots(const Sentence& sentence) {
  nb::list result;
  const WordSequence words = sentence.words();
  for (std::uint64_t i = 0; i < words.size(); ++i) {
    const Word word = words.at(static_cast<std::int64_t>(i));
    if (word.head() == 0) {
      result.append(word);
    }
  }
  return result;
}

} // namespace

void bind_sentence(nb::module_& m) {
  nb::class_<Sentence>(m, "Sentence")
      .def_prop_ro("index", guarded<&Sentence::index>())
      .def_prop_ro("id", guarded<&Sentence::index>())
      .def_prop_ro("sent_id", guarded<&Sentence::sent_id>())
      .def_prop_ro("speaker", guarded<&Sentence::speaker>())
      .def_prop_ro("doc_id", guarded<&Sentence::doc_id>())
      .def_prop_ro("text", guarded<&Sentence::text>())
      .def_prop_ro("doc", guarded<&Sentence::doc>())
      .def_prop_ro("tokens", guarded<&Sentence::tokens>())
      .def_prop_ro("words", guarded<&Sentence::words>())
      .def_prop_ro("empty_words", guarded<&Sentence::empty_words>())
      .def_prop_ro("all_words", guarded<&Sentence::all_words>())
      .def_prop_ro("ents", guarded<&Sentence::ents>())
      .def_prop_ro("entities", guarded<&Sentence::ents>())
      // A named setter, so that a value it refuses is reported by name.
      .def_prop_rw("sentiment", guarded<&Sentence::sentiment>(),
                   guarded<&Sentence::set_sentiment>(), nb::for_setter(nb::name("sentiment")))
      .def_prop_rw("constituency", guarded<&Sentence::constituency>(),
                   guarded<&Sentence::set_constituency>())
      .def_prop_ro("comments", guarded<&Sentence::comments>())
      .def_prop_ro("dependencies", guarded<&dependencies>())
      .def("get_roots", guarded<&roots>())
      .def("to_dict", guarded<&sentence_to_dict>())
      .def("to_conll", guarded<&Sentence::to_conll>())
      .def("__format__",
           guarded([](const Sentence& sentence, const std::string& spec) -> std::string {
             if (wants_conll(spec)) {
               return sentence.to_conll();
             }
             return convert_str(nb::repr(sentence_to_dict(sentence)), "repr");
           }))
      .def("__repr__",
           guarded([](const Sentence& sentence) { return nb::repr(sentence_to_dict(sentence)); }))
      .def("__eq__", [](const Sentence& sentence,
                        const Sentence& other) { return sentence.same_view(other); })
      .def("__hash__", [](const Sentence& sentence) {
        return identity_hash(sentence.storage().get(), RowKind::kSentence, sentence.index());
      });
}

} // namespace velmora::python
