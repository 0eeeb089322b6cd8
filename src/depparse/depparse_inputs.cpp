// Word inputs of the parser: vocabulary ids, embeddings, the character model
// or the character language models, and the optional transformer rows, one
// row per position with the root first.

#include <ATen/TensorOperators.h>
#include <ATen/ops/cat.h>
#include <ATen/ops/embedding.h>
#include <ATen/ops/linear.h>

#include <velmora/text.hpp>

#include "depparse/depparse_impl.hpp"
#include "depparse/depparse_words.hpp"

namespace velmora {
namespace {

using detail::id_view;
using detail::kEmptyId;
using detail::kRootId;
using detail::unit_id;

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

} // namespace

at::Tensor
DepparsePlan::Impl::encode_char_ids(const std::vector<std::vector<std::int64_t>>& sequences) const {
  for (const std::vector<std::int64_t>& ids : sequences) {
    if (ids.empty()) {
      throw DepparseModelError("depparse cannot encode an empty word");
    }
  }
  return detail::encode_character_ids({tensor("charmodel.char_emb.weight"),
                                       tensor("charmodel.char_attn.weight"), char_lstm_weights,
                                       char_lstm_init},
                                      sequences);
}

std::vector<std::vector<std::int64_t>>
DepparsePlan::Impl::sentence_char_ids(const std::vector<DepparseWord>& words) const {
  std::vector<std::vector<std::int64_t>> char_ids;
  char_ids.reserve(words.size() + 1);
  char_ids.push_back({kRootId});
  for (const DepparseWord& word : words) {
    char_ids.push_back(detail::character_ids(char_vocab, detail::normalize_punctuation(word.text)));
    if (char_ids.back().empty()) {
      throw DepparseModelError("depparse cannot encode an empty word");
    }
  }
  return char_ids;
}

at::Tensor DepparsePlan::Impl::encode_inputs(const std::vector<DepparseWord>& words,
                                             const at::Tensor* forward_charlm,
                                             const at::Tensor* backward_charlm,
                                             const at::Tensor* characters,
                                             const at::Tensor* transformer_rows) const {
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
  const bool run_characters = !use_charlm && characters == nullptr;
  if (run_characters) {
    char_ids.reserve(positions);
    char_ids.push_back({kRootId});
  } else if (use_charlm) {
    charlm_words.reserve(positions);
    charlm_words.emplace_back("\n");
  }

  static const std::string kAbsent = "_";
  for (const DepparseWord& word : words) {
    const std::string form = detail::normalize_punctuation(word.text);
    word_ids.push_back(unit_id(word_vocab, word_lower ? detail::unicode_lower(form) : form));
    const std::string& lemma = word.lemma ? *word.lemma : kAbsent;
    lemma_ids.push_back(unit_id(lemma_vocab, lemma_lower ? detail::unicode_lower(lemma) : lemma));
    upos_ids.push_back(unit_id(upos_vocab, word.upos ? *word.upos : kAbsent));
    const std::string& tag = word.xpos ? *word.xpos : kAbsent;
    if (!composite_xpos) {
      xpos_ids.push_back(tag == "_" && xpos_has_ignore ? kEmptyId : unit_id(xpos_vocab, tag));
    } else {
      const std::vector<std::string> parts =
          tag == "_" ? std::vector<std::string>() : split_tag(tag, xpos_separator);
      for (std::size_t k = 0; k < xpos_component_vocabs.size(); ++k) {
        component_ids[k].push_back(k < parts.size() ? unit_id(xpos_component_vocabs[k], parts[k])
                                                    : kEmptyId);
      }
    }
    pretrain_ids.push_back(unit_id(pretrain_vocab, detail::pretrain_key(form)));
    if (use_charlm) {
      charlm_words.push_back(word.text);
    } else if (run_characters) {
      char_ids.push_back(detail::character_ids(char_vocab, form));
      if (char_ids.back().empty()) {
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
    pieces.push_back(at::linear(characters != nullptr ? *characters : encode_char_ids(char_ids),
                                tensor("trans_char.weight")));
  } else {
    pieces.push_back(forward_charlm != nullptr ? *forward_charlm
                                               : charlm_forward->encode(charlm_words));
    pieces.push_back(backward_charlm != nullptr ? *backward_charlm
                                                : charlm_backward->encode(charlm_words));
  }
  if (use_transformer) {
    // The start endpoint's row stands for the root; the end endpoint's row
    // is dropped.
    const at::Tensor rows = transformer_rows != nullptr
                                ? *transformer_rows
                                : transformer->encode(detail::depparse_texts(words), true);
    pieces.push_back(rows.narrow(0, 0, rows.size(0) - 1));
  }
  return at::cat(pieces, 1).unsqueeze(0);
}

} // namespace velmora
