#include "bindings.hpp"

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include <velmora/bert_encoding.hpp>
#include <velmora/bert_tokenizer.hpp>
#include <velmora/byte_bpe_tokenizer.hpp>
#include <velmora/xlmr_tokenizer.hpp>

#include "released_call.hpp"

namespace velmora::python {
namespace {

using namespace nb::literals;

using ReleaseGil = nb::call_guard<ReleasedCall>;

// Readable on the class itself, so no instance has to be built to ask.
template <class Tokenizer> auto highway_enabled() {
  return [](nb::handle /*cls*/) { return Tokenizer::highway_enabled(); };
}

} // namespace

void bind_tokenizers(nb::module_& m) {
  // Each access converts into a new list, so callers cannot change the record.
  nb::class_<WordPieceEncoding>(m, "WordPieceEncoding")
      .def_ro("input_ids", &WordPieceEncoding::input_ids)
      .def_ro("attention_mask", &WordPieceEncoding::attention_mask)
      .def_ro("word_ids", &WordPieceEncoding::word_ids);

  nb::class_<WordPieceTokenizer>(m, "WordPieceTokenizer")
      .def(nb::init<std::vector<std::string>, bool, bool, std::string, std::string, std::string,
                    std::string, std::size_t>(),
           "vocabulary"_a, "lowercase"_a = true, "strip_accents"_a = true,
           "unknown_token"_a = "[UNK]", "cls_token"_a = "[CLS]", "sep_token"_a = "[SEP]",
           "continuing_subword_prefix"_a = "##", "max_input_characters_per_word"_a = 100)
      .def("encode", &WordPieceTokenizer::encode, "words"_a, "add_special_tokens"_a = true,
           ReleaseGil())
      .def_prop_ro("vocabulary_size", &WordPieceTokenizer::vocabulary_size)
      .def_prop_ro("cache_size", &WordPieceTokenizer::cache_size)
      .def_prop_ro_static("highway_enabled", highway_enabled<WordPieceTokenizer>());

  nb::class_<ByteBPETokenizer>(m, "ByteBPETokenizer")
      .def(nb::init<std::vector<std::string>, std::vector<std::pair<std::string, std::string>>,
                    std::string, std::string, std::string, bool>(),
           "vocabulary"_a, "merges"_a, "unknown_token"_a = "<unk>", "cls_token"_a = "<s>",
           "sep_token"_a = "</s>", "add_prefix_space"_a = false)
      .def("encode", &ByteBPETokenizer::encode, "words"_a, "add_special_tokens"_a = true,
           ReleaseGil())
      .def("tokenize", &ByteBPETokenizer::tokenize, "text"_a, ReleaseGil())
      .def_prop_ro("vocabulary_size", &ByteBPETokenizer::vocabulary_size)
      .def_prop_ro("cache_size", &ByteBPETokenizer::cache_size)
      .def_prop_ro_static("highway_enabled", highway_enabled<ByteBPETokenizer>());

  nb::class_<XLMRobertaTokenizer>(m, "XLMRobertaTokenizer")
      .def(nb::init<std::vector<std::string>, std::vector<float>, std::vector<unsigned char>,
                    long long, std::string, std::string>(),
           "vocabulary"_a, "scores"_a, "precompiled_charsmap"_a, "unknown_id"_a,
           "cls_token"_a = "<s>", "sep_token"_a = "</s>")
      .def("encode", &XLMRobertaTokenizer::encode, "words"_a, "add_special_tokens"_a = true,
           ReleaseGil())
      .def("tokenize", &XLMRobertaTokenizer::tokenize, "text"_a, ReleaseGil())
      .def_prop_ro("vocabulary_size", &XLMRobertaTokenizer::vocabulary_size)
      .def_prop_ro("cache_size", &XLMRobertaTokenizer::cache_size)
      .def_prop_ro_static("highway_enabled", highway_enabled<XLMRobertaTokenizer>());
}

} // namespace velmora::python
