// A document's columns back into the input records they were built from.

#include <vector>

#include "wordform/mwt_impl.hpp"

namespace velmora::detail {
namespace {

std::optional<std::uint32_t> offset(std::uint32_t value) {
  return value == kAbsentOffset ? std::nullopt : std::optional<std::uint32_t>(value);
}

std::optional<std::int32_t> integer(std::int32_t value) {
  return value == kAbsentInt ? std::nullopt : std::optional<std::int32_t>(value);
}

std::optional<bool> flag(std::int8_t value) {
  return value < 0 ? std::nullopt : std::optional<bool>(value == 1);
}

WordInput export_word(const DocumentStorage& storage, std::uint32_t row) {
  const StringPool& pool = storage.pool;
  WordInput word;
  word.id = storage.word_id[row];
  word.empty_index = integer(storage.word_empty_index[row]);
  word.text = pool.get(storage.word_text[row]);
  word.lemma = pool.optional(storage.word_lemma[row]);
  word.upos = pool.optional(storage.word_upos[row]);
  word.xpos = pool.optional(storage.word_xpos[row]);
  word.feats = pool.optional(storage.word_feats[row]);
  word.head = integer(storage.word_head[row]);
  word.deprel = pool.optional(storage.word_deprel[row]);
  word.deps = pool.optional(storage.word_deps[row]);
  word.misc = pool.optional(storage.word_misc[row]);
  word.start_char = offset(storage.word_start_char[row]);
  word.end_char = offset(storage.word_end_char[row]);
  word.manual_expansion = flag(storage.word_manual_expansion[row]);
  word.morphemes = pooled_strings(pool, storage.word_morphemes[row]);
  return word;
}

TokenInput export_token(const DocumentStorage& storage, std::uint32_t row) {
  const StringPool& pool = storage.pool;
  TokenInput token;
  token.first_id = storage.token_first_id[row];
  token.last_id = storage.token_last_id[row];
  token.text = pool.get(storage.token_text[row]);
  token.misc = pool.optional(storage.token_misc[row]);
  token.ner = pool.optional(storage.token_ner[row]);
  token.multi_ner = pooled_strings(pool, storage.token_multi_ner[row]);
  token.start_char = offset(storage.token_start_char[row]);
  token.end_char = offset(storage.token_end_char[row]);
  token.manual_expansion = flag(storage.token_manual_expansion[row]);
  token.spaces_before = pool.get(storage.token_spaces_before[row]);
  token.spaces_after = pool.get(storage.token_spaces_after[row]);
  const std::uint32_t first = storage.token_first_word[row];
  const std::uint32_t end = storage.token_end_word[row];
  token.words.reserve(end - first);
  for (std::uint32_t word = first; word < end; ++word) {
    token.words.push_back(export_word(storage, word));
  }
  return token;
}

} // namespace

std::vector<SentenceInput> export_sentences(const DocumentStorage& storage) {
  const StringPool& pool = storage.pool;
  const std::size_t count = storage.sentence_text.size();
  std::vector<SentenceInput> sentences(count);
  for (std::size_t s = 0; s < count; ++s) {
    SentenceInput& sentence = sentences[s];
    sentence.text = pool.optional(storage.sentence_text[s]);
    sentence.sent_id = pool.optional(storage.sentence_sent_id[s]);
    sentence.speaker = pool.optional(storage.sentence_speaker[s]);
    sentence.doc_id = pool.optional(storage.sentence_doc_id[s]);
    sentence.sentiment = integer(storage.sentence_sentiment[s]);
    sentence.comments = pooled_strings(pool, storage.sentence_comments[s]);
    const std::uint32_t first = storage.sentence_token_offsets[s];
    const std::uint32_t end = storage.sentence_token_offsets[s + 1];
    sentence.tokens.reserve(end - first);
    for (std::uint32_t token = first; token < end; ++token) {
      sentence.tokens.push_back(export_token(storage, token));
    }
    const std::vector<std::uint32_t>& empty_rows = storage.sentence_empty_words[s];
    sentence.empty_words.reserve(empty_rows.size());
    for (const std::uint32_t row : empty_rows) {
      sentence.empty_words.push_back(export_word(storage, row));
    }
  }
  return sentences;
}

} // namespace velmora::detail
