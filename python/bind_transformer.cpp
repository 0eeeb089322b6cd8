#include "bindings.hpp"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include <velmora/transformer_encoder.hpp>

#include "released_call.hpp"

namespace velmora::python {

void bind_transformer(nb::module_& m) {
  using namespace nb::literals;
  using ReleaseGil = nb::call_guard<ReleasedCall>;
  using LoadsModel = nb::call_guard<ModelLoad>;
  using Path = std::filesystem::path;
  using Strings = std::vector<std::string>;
  using Merges = std::vector<std::pair<std::string, std::string>>;

  // The three constructors differ from the third parameter on (a bool, a
  // list of pairs, a list of numbers), which is what picks the tokenizer kind.
  nb::class_<TransformerEncoder>(m, "TransformerEncoder")
      .def(nb::init<Path, Strings, bool, bool, std::size_t, std::size_t, std::string, std::string,
                    std::string, std::string, std::size_t>(),
           "model_path"_a, "vocabulary"_a, "lowercase"_a = true, "strip_accents"_a = true,
           "intra_op_threads"_a = 0, "model_max_length"_a = 512, "unknown_token"_a = "[UNK]",
           "cls_token"_a = "[CLS]", "sep_token"_a = "[SEP]", "continuing_subword_prefix"_a = "##",
           "max_input_characters_per_word"_a = 100, LoadsModel())
      .def(nb::init<Path, Strings, Merges, bool, std::size_t, std::size_t, std::string, std::string,
                    std::string>(),
           "model_path"_a, "vocabulary"_a, "merges"_a, "add_prefix_space"_a,
           "intra_op_threads"_a = 0, "model_max_length"_a = 512, "unknown_token"_a = "<unk>",
           "cls_token"_a = "<s>", "sep_token"_a = "</s>", LoadsModel())
      .def(nb::init<Path, Strings, std::vector<float>, std::vector<unsigned char>, std::int64_t,
                    std::size_t, std::size_t, std::string, std::string>(),
           "model_path"_a, "vocabulary"_a, "scores"_a, "precompiled_charsmap"_a, "unknown_id"_a,
           "intra_op_threads"_a = 0, "model_max_length"_a = 512, "cls_token"_a = "<s>",
           "sep_token"_a = "</s>", LoadsModel())
      .def("encode", &TransformerEncoder::encode, "words"_a, "keep_endpoints"_a = false,
           ReleaseGil())
      .def("tokenize", &TransformerEncoder::tokenize, "words"_a, "add_special_tokens"_a = true,
           ReleaseGil())
      .def("encode_ids", &TransformerEncoder::encode_ids, "input_ids"_a,
           "attention_mask"_a = std::vector<std::int64_t>(), ReleaseGil())
      .def_prop_ro("model_path", &TransformerEncoder::model_path)
      .def_static("runtime_version", &TransformerEncoder::runtime_version);
}

} // namespace velmora::python
