#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <velmora/constituency_tree.hpp>
#include <velmora/coref.hpp>
#include <velmora/string_pool.hpp>
#include <velmora/text.hpp>

namespace velmora {

// Sentinels stored in the columns of a DocumentStorage.
inline constexpr std::uint32_t kAbsentString = StringPool::kAbsent;
inline constexpr std::uint32_t kAbsentOffset = 0xFFFFFFFFu;
inline constexpr std::uint32_t kNoToken = 0xFFFFFFFFu;
// Absent head, empty-word index and sentiment: the most negative 32-bit value.
inline constexpr std::int32_t kAbsentInt = std::numeric_limits<std::int32_t>::min();

// Plain input records from which a storage is built: by the tokenizer, by the
// multi-word-token rewrite and from document dictionaries.
struct WordInput {
  std::int32_t id = 0;
  std::optional<std::int32_t> empty_index;
  std::string text;
  std::optional<std::string> lemma;
  std::optional<std::string> upos;
  std::optional<std::string> xpos;
  std::optional<std::string> feats;
  std::optional<std::int32_t> head;
  std::optional<std::string> deprel;
  std::optional<std::string> deps;
  std::optional<std::string> misc;
  std::optional<std::uint32_t> start_char;
  std::optional<std::uint32_t> end_char;
  std::optional<bool> manual_expansion;
  std::vector<std::string> morphemes;
};

struct TokenInput {
  std::int32_t first_id = 0;
  std::int32_t last_id = 0;
  std::string text;
  std::optional<std::string> misc;
  std::optional<std::string> ner;
  std::vector<std::string> multi_ner;
  std::optional<std::uint32_t> start_char;
  std::optional<std::uint32_t> end_char;
  std::optional<bool> manual_expansion;
  std::string spaces_before;
  std::string spaces_after;
  std::vector<WordInput> words;
};

struct SentenceInput {
  std::vector<TokenInput> tokens;
  std::vector<WordInput> empty_words;
  std::optional<std::string> text;
  std::optional<std::string> sent_id;
  std::optional<std::string> speaker;
  std::optional<std::string> doc_id;
  std::optional<std::int32_t> sentiment;
  std::vector<std::string> comments;
};

// The one owning, column-oriented store of an annotated text. Every Document,
// view and sequence holds it through a shared pointer and reads the columns on
// each call. Rows of one kind have the same length in every column of that
// kind. Word rows hold all regular words first (in document order), then the
// empty words in the order they were added.
//
// The columns are public because a few processors that rewrite or scan whole
// documents read them directly; everything else goes through the views.
class DocumentStorage {
public:
  // Throws std::invalid_argument for ill-formed UTF-8.
  explicit DocumentStorage(std::string text);
  // Counts its words as released memory (large drops hand memory back).
  ~DocumentStorage();

  DocumentStorage(const DocumentStorage&) = delete;
  DocumentStorage& operator=(const DocumentStorage&) = delete;
  DocumentStorage(DocumentStorage&&) = default;
  DocumentStorage& operator=(DocumentStorage&&) = default;

  // Fills every column of a freshly constructed storage, then derives the
  // entity spans. On failure the storage is partly filled and must be
  // discarded.
  void build(const std::vector<SentenceInput>& sentences);

  // Appends an empty word to `sentence` and returns its word row.
  std::uint32_t add_empty_word(std::uint32_t sentence, WordInput word);
  // Drops every word row added after build (rows at or above built_word_count).
  void reset_generated_empty_words();
  // Rebuilds the whole content from new inputs over the same text, keeping the
  // language. Leaves the storage unchanged when the inputs are refused.
  void replace(std::vector<SentenceInput> sentences);
  // Recomputes all entity spans from the tokens' NER tags.
  void rebuild_entities();
  // Replaces all coreference chains and word attachments. Every mention is
  // checked first: a refused call (std::out_of_range) changes nothing.
  void set_coref(const std::vector<CorefChain>& chains);

  std::uint64_t sentence_count() const noexcept { return sentence_text.size(); }
  std::uint64_t token_count() const noexcept { return token_text.size(); }
  std::uint64_t word_row_count() const noexcept { return word_text.size(); }
  std::uint64_t span_count() const noexcept { return span_text.size(); }

  // Document-wide.
  Utf8Text text;
  StringPool pool;
  std::uint32_t lang = kAbsentString;

  // Per sentence; the offset columns hold sentence count + 1 entries.
  std::vector<std::uint32_t> sentence_token_offsets{0};
  std::vector<std::uint32_t> sentence_word_offsets{0};
  std::vector<std::vector<std::uint32_t>> sentence_empty_words;
  std::vector<std::uint32_t> sentence_span_offsets{0};
  std::vector<std::uint32_t> sentence_text;
  std::vector<std::uint32_t> sentence_sent_id;
  std::vector<std::uint32_t> sentence_speaker;
  std::vector<std::uint32_t> sentence_doc_id;
  std::vector<std::int32_t> sentence_sentiment;
  std::vector<std::vector<std::uint32_t>> sentence_comments;
  std::vector<std::shared_ptr<const TreeNode>> sentence_constituency;

  // Per token.
  std::vector<std::uint32_t> token_sentence;
  std::vector<std::int32_t> token_first_id;
  std::vector<std::int32_t> token_last_id;
  std::vector<std::uint32_t> token_first_word;
  std::vector<std::uint32_t> token_end_word;
  std::vector<std::uint32_t> token_text;
  std::vector<std::uint32_t> token_misc;
  std::vector<std::uint32_t> token_ner;
  std::vector<std::vector<std::uint32_t>> token_multi_ner;
  std::vector<std::uint32_t> token_start_char;
  std::vector<std::uint32_t> token_end_char;
  std::vector<std::int8_t> token_manual_expansion;
  std::vector<std::uint32_t> token_spaces_before;
  std::vector<std::uint32_t> token_spaces_after;

  // Per word row.
  std::vector<std::uint32_t> word_sentence;
  std::vector<std::uint32_t> word_token;
  std::vector<std::int32_t> word_id;
  std::vector<std::int32_t> word_empty_index;
  std::vector<std::uint32_t> word_text;
  std::vector<std::uint32_t> word_lemma;
  std::vector<std::uint32_t> word_upos;
  std::vector<std::uint32_t> word_xpos;
  std::vector<std::uint32_t> word_feats;
  std::vector<std::int32_t> word_head;
  std::vector<std::uint32_t> word_deprel;
  std::vector<std::uint32_t> word_deps;
  std::vector<std::uint32_t> word_misc;
  std::vector<std::uint32_t> word_start_char;
  std::vector<std::uint32_t> word_end_char;
  std::vector<std::int8_t> word_manual_expansion;
  std::vector<std::vector<std::uint32_t>> word_morphemes;
  std::vector<std::vector<CorefAttachment>> word_coref;

  // Per entity span.
  std::vector<std::uint32_t> span_sentence;
  std::vector<std::uint32_t> span_first_token;
  std::vector<std::uint32_t> span_end_token;
  std::vector<std::uint32_t> span_first_word;
  std::vector<std::uint32_t> span_end_word;
  std::vector<std::uint32_t> span_text;
  std::vector<std::uint32_t> span_type;
  std::vector<std::uint32_t> span_start_char;
  std::vector<std::uint32_t> span_end_char;

  std::vector<std::shared_ptr<const CorefChain>> coref_chains;
  std::uint64_t regular_word_count = 0;
  std::uint64_t built_word_count = 0;
};

namespace detail {

// One pool id per string, in order.
std::vector<std::uint32_t> intern_strings(StringPool& pool, const std::vector<std::string>& items);
// The strings of the ids, in order; an absent or unissued id throws
// std::out_of_range "invalid string pool identifier".
std::vector<std::string> pooled_strings(const StringPool& pool,
                                        const std::vector<std::uint32_t>& ids);

} // namespace detail
} // namespace velmora
