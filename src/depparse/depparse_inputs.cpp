// Word inputs of the parser: vocabulary ids, embeddings, the character model
// or the character language models, and the optional transformer rows, one
// row per position with the root first.

#include <algorithm>

#include <ATen/TensorOperators.h>
#include <ATen/ops/cat.h>
#include <ATen/ops/embedding.h>
#include <ATen/ops/from_blob.h>
#include <ATen/ops/linear.h>
#include <ATen/ops/mul.h>
#include <ATen/ops/sigmoid.h>

#include <velmora/text.hpp>

#include "depparse/depparse_impl.hpp"
#include "encoders/lstm.hpp"
#include "taggers/pos_impl.hpp"
#include "taggers/sentence_batches.hpp"

namespace velmora {
namespace {

// Reserved ids of every input kind.
constexpr std::int64_t kUnknownId = 1;
constexpr std::int64_t kEmptyId = 2;
constexpr std::int64_t kRootId = 3;

std::int64_t lookup(const DepparsePlan::Impl::UnitMap& vocabulary, const std::string& key) {
  const auto found = vocabulary.find(key);
  return found == vocabulary.end() ? kUnknownId : found->second;
}

// Pretrained keys are lower-cased and spell spaces as no-break spaces.
std::string pretrain_key(const std::string& form) {
  const std::string lowered = detail::unicode_lower(form);
  std::string key;
  key.reserve(lowered.size());
  for (const char byte : lowered) {
    if (byte == ' ') {
      key += "\u00A0";
    } else {
      key += byte;
    }
  }
  return key;
}

// The parts of a composite tag: every piece between separators, empty ones
// included, or every code point when the separator is empty.
std::vector<std::string> split_tag(const std::string& tag, const std::string& separator) {
  if (separator.empty()) {
    return detail::split_codepoints(tag);
  }
  std::vector<std::string> parts;
  std::size_t begin = 0;
  for (std::size_t found = tag.find(separator); found != std::string::npos;
       found = tag.find(separator, begin)) {
    parts.push_back(tag.substr(begin, found - begin));
    begin = found + separator.size();
  }
  parts.push_back(tag.substr(begin));
  return parts;
}

// A 1-D int64 view of `ids`, which must outlive it.
at::Tensor id_view(std::vector<std::int64_t>& ids) {
  return at::from_blob(ids.data(), {static_cast<std::int64_t>(ids.size())}, at::kLong);
}

} // namespace

at::Tensor
DepparsePlan::Impl::encode_char_ids(const std::vector<std::vector<std::int64_t>>& sequences) const {
  // One packed LSTM run over many words gives each word what a run over the
  // word alone gives it; longest first, as packing needs.
  std::vector<std::int64_t> lengths;
  lengths.reserve(sequences.size());
  for (const auto& ids : sequences) {
    if (ids.empty()) {
      throw DepparseModelError("depparse cannot encode an empty word");
    }
    lengths.push_back(static_cast<std::int64_t>(ids.size()));
  }
  const std::vector<std::size_t> order = detail::longest_first(lengths);
  std::vector<std::int64_t> sorted_lengths;
  std::vector<std::int64_t> sorted_position(sequences.size());
  sorted_lengths.reserve(order.size());
  for (std::size_t i = 0; i < order.size(); ++i) {
    sorted_lengths.push_back(lengths[order[i]]);
    sorted_position[order[i]] = static_cast<std::int64_t>(i);
  }

  // Bounds the padded id matrix and embeddings of one run.
  constexpr std::int64_t kMaxWords = 1024;
  constexpr std::int64_t kMaxPadded = 16384;
  const at::Tensor& embedding = tensor("charmodel.char_emb.weight");
  const at::Tensor& attention = tensor("charmodel.char_attn.weight");
  std::vector<at::Tensor> vectors;
  for (const detail::BatchRange& range :
       detail::plan_length_batches(sorted_lengths, kMaxWords, kMaxPadded)) {
    const auto count = static_cast<std::int64_t>(range.end - range.begin);
    const std::int64_t longest = sorted_lengths[range.begin];
    std::vector<std::int64_t> matrix(static_cast<std::size_t>(count * longest), 0);
    for (std::int64_t j = 0; j < count; ++j) {
      const auto& ids = sequences[order[range.begin + static_cast<std::size_t>(j)]];
      std::copy(ids.begin(), ids.end(), matrix.begin() + j * longest);
    }
    const at::Tensor ids = at::from_blob(matrix.data(), {count, longest}, at::kLong);
    const std::vector<std::int64_t> batch_lengths(sorted_lengths.begin() + range.begin,
                                                  sorted_lengths.begin() + range.end);
    const at::Tensor output =
        detail::lstm_packed(at::embedding(embedding, ids), batch_lengths,
                            detail::expand_state(char_lstm_init[0], count),
                            detail::expand_state(char_lstm_init[1], count), char_lstm_weights,
                            detail::LstmShape{1, false}, longest)
            .output;
    // One independent gate per character; padding steps hold zero outputs.
    const at::Tensor gates = at::sigmoid(at::linear(output, attention));
    vectors.push_back(at::mul(output, gates).sum(1));
  }
  const at::Tensor sorted = vectors.size() == 1 ? vectors.front() : at::cat(vectors, 0);
  return sorted.index_select(0, id_view(sorted_position));
}

at::Tensor DepparsePlan::Impl::encode_inputs(const std::vector<DepparseWord>& words,
                                             const at::Tensor* forward_charlm,
                                             const at::Tensor* backward_charlm) const {
  const std::size_t positions = words.size() + 1;
  const auto start_list = [positions] {
    std::vector<std::int64_t> ids;
    ids.reserve(positions);
    ids.push_back(kRootId);
    return ids;
  };
  std::vector<std::int64_t> word_ids = start_list();
  std::vector<std::int64_t> lemma_ids = start_list();
  std::vector<std::int64_t> upos_ids = start_list();
  std::vector<std::int64_t> xpos_ids = start_list();
  std::vector<std::int64_t> pretrain_ids = start_list();
  std::vector<std::vector<std::int64_t>> component_ids;
  component_ids.reserve(xpos_component_vocabs.size());
  for (std::size_t k = 0; k < xpos_component_vocabs.size(); ++k) {
    component_ids.push_back(start_list());
  }
  // The character model reads the root as the one id 3; the language models
  // read it as a line feed.
  std::vector<std::vector<std::int64_t>> char_ids;
  std::vector<std::string> charlm_words;
  if (!use_charlm) {
    char_ids.reserve(positions);
    char_ids.push_back({kRootId});
  } else {
    charlm_words.reserve(positions);
    charlm_words.emplace_back("\n");
  }

  static const std::string kAbsent = "_";
  for (const DepparseWord& word : words) {
    const std::string form = detail::normalize_punctuation(word.text);
    word_ids.push_back(lookup(word_vocab, word_lower ? detail::unicode_lower(form) : form));
    const std::string& lemma = word.lemma ? *word.lemma : kAbsent;
    lemma_ids.push_back(lookup(lemma_vocab, lemma_lower ? detail::unicode_lower(lemma) : lemma));
    upos_ids.push_back(lookup(upos_vocab, word.upos ? *word.upos : kAbsent));
    const std::string& tag = word.xpos ? *word.xpos : kAbsent;
    if (!composite_xpos) {
      xpos_ids.push_back(tag == "_" && xpos_has_ignore ? kEmptyId : lookup(xpos_vocab, tag));
    } else {
      const std::vector<std::string> parts =
          tag == "_" ? std::vector<std::string>() : split_tag(tag, xpos_separator);
      for (std::size_t k = 0; k < xpos_component_vocabs.size(); ++k) {
        component_ids[k].push_back(k < parts.size() ? lookup(xpos_component_vocabs[k], parts[k])
                                                    : kEmptyId);
      }
    }
    pretrain_ids.push_back(lookup(pretrain_vocab, pretrain_key(form)));
    if (use_charlm) {
      charlm_words.push_back(word.text);
    } else {
      std::vector<std::int64_t>& ids = char_ids.emplace_back();
      for (const std::string& character : detail::split_codepoints(form)) {
        ids.push_back(lookup(char_vocab, character));
      }
      if (ids.empty()) {
        throw DepparseModelError("depparse cannot encode an empty word");
      }
    }
  }

  std::vector<at::Tensor> pieces;
  pieces.reserve(8);
  pieces.push_back(at::linear(at::embedding(tensor("pretrained_emb.weight"), id_view(pretrain_ids)),
                              tensor("trans_pretrained.weight")));
  pieces.push_back(at::embedding(tensor("word_emb.weight"), id_view(word_ids)));
  pieces.push_back(at::embedding(tensor("lemma_emb.weight"), id_view(lemma_ids)));
  at::Tensor pos = at::embedding(tensor("upos_emb.weight"), id_view(upos_ids));
  if (!composite_xpos) {
    pos = pos + at::embedding(tensor("xpos_emb.weight"), id_view(xpos_ids));
  } else {
    for (std::size_t k = 0; k < component_ids.size(); ++k) {
      pos = pos + at::embedding(tensor("xpos_emb." + std::to_string(k) + ".weight"),
                                id_view(component_ids[k]));
    }
  }
  // The feature slot carries the tag embedding a second time.
  pieces.push_back(pos);
  pieces.push_back(pos);
  if (!use_charlm) {
    pieces.push_back(at::linear(encode_char_ids(char_ids), tensor("trans_char.weight")));
  } else {
    pieces.push_back(forward_charlm != nullptr ? *forward_charlm
                                               : charlm_forward->encode(charlm_words));
    pieces.push_back(backward_charlm != nullptr ? *backward_charlm
                                                : charlm_backward->encode(charlm_words));
  }
  if (use_transformer) {
    std::vector<std::string> texts;
    texts.reserve(words.size());
    for (const DepparseWord& word : words) {
      texts.push_back(word.text);
    }
    // The start endpoint's row stands for the root; the end endpoint's row
    // is dropped.
    const at::Tensor rows = transformer->encode(texts, true);
    pieces.push_back(rows.narrow(0, 0, rows.size(0) - 1));
  }
  return at::cat(pieces, 1).unsqueeze(0);
}

} // namespace velmora
