#pragma once

// Word inputs shared by the part-of-speech tagger and the parsers: vocabulary
// maps and their lookups, the pretrained-vocabulary key, the normalisation of
// runs of question and exclamation marks, id tensors, and the character model
// that turns a word's characters into one vector. Include only from .cpp
// files: it pulls in ATen.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <ATen/core/Tensor.h>

namespace velmora::detail {

// Lets a map keyed by std::string be searched with a string_view.
struct StringHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const noexcept {
    return std::hash<std::string_view>{}(text);
  }
};

// A vocabulary: unit to id, as stored in the bundle.
using UnitMap = std::unordered_map<std::string, std::int64_t>;
// Every tensor of a bundle by name.
using TensorMap = std::unordered_map<std::string, at::Tensor, StringHash, std::equal_to<>>;

// Reserved ids of the word vocabularies.
constexpr std::int64_t kUnknownId = 1;
constexpr std::int64_t kEmptyId = 2;
constexpr std::int64_t kRootId = 3;

// The id of `key`, or kUnknownId when the vocabulary lacks it.
std::int64_t unit_id(const UnitMap& vocabulary, const std::string& key);

// The text with every ASCII space spelled as a no-break space (U+00A0), the
// way pretrained vocabularies store multi-word entries.
std::string no_break_spaces(const std::string& text);

// The pretrained-vocabulary key of a word: lower-cased, with every space
// spelled as a no-break space (U+00A0).
std::string pretrain_key(const std::string& word);

// The pretrained-vocabulary form of a word: lower-cased when `lower`, every
// ASCII space spelled as a no-break space (U+00A0).
std::string normalize_word(std::string_view word, bool lower);

// A word made only of question and exclamation marks (at least two code
// points, in any of their full-width, small and doubled forms) becomes "?" or
// "!" after its first mark; every other word stays as it is.
std::string normalize_punctuation(const std::string& word);

// The character-vocabulary ids of a word's code points (kUnknownId for one
// the vocabulary lacks); empty for an empty word.
std::vector<std::int64_t> character_ids(const UnitMap& vocabulary, const std::string& word);

// A 1-D int64 tensor owning a copy of `ids`.
at::Tensor id_tensor(const std::vector<std::int64_t>& ids);
// A 1-D int64 view of `ids`, which must outlive it.
at::Tensor id_view(std::vector<std::int64_t>& ids);

// Runs `run` over the distinct sequences of `sequences` (equal sequences are
// computed once), sorted longest first and cut into batches that bound the
// padded id matrix. `run` gets a batch's ids [count, longest], zero past each
// row's length, and the rows' non-increasing lengths, and returns one row per
// sequence of the batch. The result holds every sequence's row, in input
// order. Every sequence must be non-empty, and there must be at least one.
using SequenceBatchRun =
    std::function<at::Tensor(const at::Tensor& ids, const std::vector<std::int64_t>& lengths)>;
at::Tensor run_distinct_sequences(const std::vector<std::vector<std::int64_t>>& sequences,
                                  const SequenceBatchRun& run);

// The character model of a tagger or parser: a unidirectional one-layer LSTM
// over character embeddings, its outputs summed under one independent sigmoid
// gate per character.
struct CharacterModel {
  const at::Tensor& embedding;                  // [characters, E]
  const at::Tensor& attention;                  // [1, H]
  const std::vector<at::Tensor>& lstm;          // weight_ih, weight_hh, bias_ih, bias_hh
  const std::vector<at::Tensor>& initial_state; // {hidden, cell}, each [1, 1, H]
};

// The vectors [count, H] of id sequences, in input order. Every sequence must
// be non-empty (callers refuse empty words with their own error). Equal
// sequences are computed once, and the rest run as packed batches, which give
// each word what a run over the word alone gives it.
at::Tensor encode_character_ids(const CharacterModel& model,
                                const std::vector<std::vector<std::int64_t>>& sequences);

} // namespace velmora::detail
