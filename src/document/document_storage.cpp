#include <velmora/document_storage.hpp>

#include <stdexcept>
#include <string>
#include <utility>

#include "document/document_storage_rows.hpp"
#include "document/released_memory.hpp"

namespace velmora {
namespace {

std::int8_t tristate(const std::optional<bool>& value) {
  if (!value) {
    return -1;
  }
  return *value ? 1 : 0;
}

std::uint32_t offset_or_absent(const std::optional<std::uint32_t>& value) {
  return value ? *value : kAbsentOffset;
}

} // namespace

namespace detail {

std::vector<std::uint32_t> intern_strings(StringPool& pool, const std::vector<std::string>& items) {
  std::vector<std::uint32_t> ids;
  ids.reserve(items.size());
  for (const std::string& item : items) {
    ids.push_back(pool.intern(item));
  }
  return ids;
}

std::vector<std::string> pooled_strings(const StringPool& pool,
                                        const std::vector<std::uint32_t>& ids) {
  std::vector<std::string> strings;
  strings.reserve(ids.size());
  for (std::uint32_t id : ids) {
    strings.push_back(pool.get(id));
  }
  return strings;
}

void append_word_row(DocumentStorage& storage, const WordInput& word, std::uint32_t sentence,
                     std::uint32_t token, std::uint32_t start_char, std::uint32_t end_char) {
  StringPool& pool = storage.pool;
  const std::uint32_t text = pool.intern(word.text);
  const std::uint32_t lemma = pool.intern_optional(word.lemma);
  const std::uint32_t upos = pool.intern_optional(word.upos);
  const std::uint32_t xpos = pool.intern_optional(word.xpos);
  const std::uint32_t feats = pool.intern_optional(word.feats);
  const std::uint32_t deprel = pool.intern_optional(word.deprel);
  const std::uint32_t deps = pool.intern_optional(word.deps);
  const std::uint32_t misc = pool.intern_optional(word.misc);
  std::vector<std::uint32_t> morphemes = intern_strings(pool, word.morphemes);

  storage.word_sentence.push_back(sentence);
  storage.word_token.push_back(token);
  storage.word_id.push_back(word.id);
  storage.word_empty_index.push_back(word.empty_index ? *word.empty_index : kAbsentInt);
  storage.word_text.push_back(text);
  storage.word_lemma.push_back(lemma);
  storage.word_upos.push_back(upos);
  storage.word_xpos.push_back(xpos);
  storage.word_feats.push_back(feats);
  storage.word_head.push_back(word.head ? *word.head : kAbsentInt);
  storage.word_deprel.push_back(deprel);
  storage.word_deps.push_back(deps);
  storage.word_misc.push_back(misc);
  storage.word_start_char.push_back(start_char);
  storage.word_end_char.push_back(end_char);
  storage.word_manual_expansion.push_back(tristate(word.manual_expansion));
  storage.word_morphemes.push_back(std::move(morphemes));
  storage.word_coref.emplace_back();
}

std::string joined_token_text(const DocumentStorage& storage, std::uint32_t first,
                              std::uint32_t end) {
  std::string text;
  for (std::uint32_t t = first; t < end; ++t) {
    if (t != first) {
      text += storage.pool.get(storage.token_spaces_after.at(t - 1));
      text += storage.pool.get(storage.token_spaces_before.at(t));
    }
    text += storage.pool.get(storage.token_text.at(t));
  }
  return text;
}

} // namespace detail

DocumentStorage::DocumentStorage(std::string text) : text(std::move(text)) {}

DocumentStorage::~DocumentStorage() {
  detail::note_released_words(word_row_count());
}

namespace {

void append_token_row(DocumentStorage& storage, const TokenInput& token, std::uint32_t sentence) {
  if (token.first_id < 1 || token.last_id < token.first_id) {
    throw std::invalid_argument("a token has an invalid ID range");
  }
  if (token.text.empty()) {
    throw std::invalid_argument("a token must have non-empty text");
  }
  StringPool& pool = storage.pool;
  const std::uint32_t text = pool.intern(token.text);
  const std::uint32_t misc = pool.intern_optional(token.misc);
  const std::uint32_t ner = pool.intern_optional(token.ner);
  std::vector<std::uint32_t> multi_ner = detail::intern_strings(pool, token.multi_ner);
  const std::uint32_t spaces_before = pool.intern(token.spaces_before);
  const std::uint32_t spaces_after = pool.intern(token.spaces_after);

  const auto row = static_cast<std::uint32_t>(storage.token_text.size());
  const std::uint32_t start_char = offset_or_absent(token.start_char);
  const std::uint32_t end_char = offset_or_absent(token.end_char);
  storage.token_sentence.push_back(sentence);
  storage.token_first_id.push_back(token.first_id);
  storage.token_last_id.push_back(token.last_id);
  storage.token_first_word.push_back(static_cast<std::uint32_t>(storage.word_text.size()));
  storage.token_end_word.push_back(static_cast<std::uint32_t>(storage.word_text.size()));
  storage.token_text.push_back(text);
  storage.token_misc.push_back(misc);
  storage.token_ner.push_back(ner);
  storage.token_multi_ner.push_back(std::move(multi_ner));
  storage.token_start_char.push_back(start_char);
  storage.token_end_char.push_back(end_char);
  storage.token_manual_expansion.push_back(tristate(token.manual_expansion));
  storage.token_spaces_before.push_back(spaces_before);
  storage.token_spaces_after.push_back(spaces_after);

  // Only a token's single word can take the token's offsets as its own.
  const bool single = token.words.size() == 1;
  for (const WordInput& word : token.words) {
    if (word.id < 1 || word.empty_index || word.text.empty()) {
      throw std::invalid_argument("a word must have a positive ID and non-empty text");
    }
    const std::uint32_t word_start =
        word.start_char ? *word.start_char : (single ? start_char : kAbsentOffset);
    const std::uint32_t word_end =
        word.end_char ? *word.end_char : (single ? end_char : kAbsentOffset);
    detail::append_word_row(storage, word, sentence, row, word_start, word_end);
  }
  storage.token_end_word.back() = static_cast<std::uint32_t>(storage.word_text.size());
}

std::uint32_t sentence_text_id(DocumentStorage& storage, const SentenceInput& input,
                               std::uint32_t first_token, std::uint32_t end_token) {
  if (input.text) {
    return storage.pool.intern(*input.text);
  }
  if (first_token == end_token) {
    return kAbsentString;
  }
  const std::uint32_t last_token = end_token - 1;
  const std::uint32_t start = storage.token_start_char[first_token];
  const std::uint32_t end = storage.token_end_char[last_token];
  if (detail::valid_char_range(storage, start, end)) {
    return storage.pool.intern(storage.text.slice(start, end));
  }
  std::string text = detail::joined_token_text(storage, first_token, end_token);
  text += storage.pool.get(storage.token_spaces_after[last_token]);
  return storage.pool.intern(text);
}

// Whitespace around tokens comes from the text itself wherever offsets allow.
void derive_whitespace(DocumentStorage& storage) {
  const std::uint64_t count = storage.token_count();
  if (storage.text.bytes().empty() || count == 0) {
    return;
  }
  const std::uint64_t codepoints = storage.text.codepoint_count();
  for (std::uint64_t t = 0; t < count; ++t) {
    const std::uint32_t start = storage.token_start_char[t];
    const std::uint32_t end = storage.token_end_char[t];
    if (!detail::valid_char_range(storage, start, end)) {
      continue;
    }
    if (t == 0) {
      storage.token_spaces_before[0] = storage.pool.intern(storage.text.slice(0, start));
    }
    std::uint64_t next = codepoints;
    if (t + 1 < count) {
      // Without the next token's start the gap is unknown: the whitespace the
      // input gave is kept rather than swallowing the rest of the text. A start
      // beyond the text is no better.
      next = storage.token_start_char[t + 1];
      if (next == kAbsentOffset || next > codepoints) {
        continue;
      }
    }
    if (end <= next) {
      storage.token_spaces_after[t] = storage.pool.intern(storage.text.slice(end, next));
    }
  }
}

} // namespace

void DocumentStorage::build(const std::vector<SentenceInput>& sentences) {
  sentence_empty_words.resize(sentences.size());
  for (std::size_t s = 0; s < sentences.size(); ++s) {
    const SentenceInput& input = sentences[s];
    const auto sentence = static_cast<std::uint32_t>(s);
    const auto first_token = static_cast<std::uint32_t>(token_text.size());
    const auto first_word = static_cast<std::uint32_t>(word_text.size());

    for (const TokenInput& token : input.tokens) {
      append_token_row(*this, token, sentence);
    }
    const auto end_token = static_cast<std::uint32_t>(token_text.size());
    const auto end_word = static_cast<std::uint32_t>(word_text.size());
    sentence_token_offsets.push_back(end_token);
    sentence_word_offsets.push_back(end_word);

    const std::uint32_t text_id = sentence_text_id(*this, input, first_token, end_token);
    const std::uint32_t sent_id = pool.intern(input.sent_id ? *input.sent_id : std::to_string(s));
    const std::uint32_t speaker = pool.intern_optional(input.speaker);
    const std::uint32_t doc_id = pool.intern_optional(input.doc_id);
    std::vector<std::uint32_t> comments = detail::intern_strings(pool, input.comments);
    sentence_text.push_back(text_id);
    sentence_sent_id.push_back(sent_id);
    sentence_speaker.push_back(speaker);
    sentence_doc_id.push_back(doc_id);
    sentence_sentiment.push_back(input.sentiment ? *input.sentiment : kAbsentInt);
    sentence_comments.push_back(std::move(comments));
    sentence_constituency.emplace_back();

    if (end_word < first_word) {
      throw std::logic_error("invalid word offsets");
    }
  }
  regular_word_count = word_text.size();

  for (std::size_t s = 0; s < sentences.size(); ++s) {
    for (const WordInput& word : sentences[s].empty_words) {
      add_empty_word(static_cast<std::uint32_t>(s), word);
    }
  }
  built_word_count = word_text.size();

  derive_whitespace(*this);
  rebuild_entities();
}

} // namespace velmora
