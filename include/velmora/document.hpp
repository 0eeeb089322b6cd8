#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <velmora/constituency_tree.hpp>
#include <velmora/coref.hpp>
#include <velmora/document_storage.hpp>
#include <velmora/sequences.hpp>

namespace velmora {

class Sentence;

// The handle on one annotated text. Copies share the storage; every view made
// from a document sees every change at once.
class Document {
public:
  // Throws std::invalid_argument for ill-formed UTF-8.
  explicit Document(std::string text);
  Document(std::string text, std::vector<SentenceInput> sentences);
  // Throws std::invalid_argument "a document storage pointer cannot be null".
  explicit Document(std::shared_ptr<DocumentStorage> storage);

  const std::shared_ptr<DocumentStorage>& storage() const noexcept { return storage_; }
  bool same_storage(const Document& other) const noexcept { return storage_ == other.storage_; }

  const std::string& text() const noexcept;
  std::uint64_t codepoint_count() const noexcept;
  std::uint64_t byte_offset(std::size_t codepoint) const;

  std::optional<std::string> lang() const;
  void set_lang(const std::optional<std::string>& lang);

  SentenceSequence sentences() const;
  TokenSequence tokens() const;
  // Regular words only; empty words are reached through their sentences.
  WordSequence words() const;
  SpanSequence ents() const;
  std::uint64_t num_tokens() const noexcept;
  std::uint64_t num_words() const noexcept;

  const std::vector<std::shared_ptr<const CorefChain>>& coref() const noexcept;
  void set_coref(const std::vector<CorefChain>& chains);
  void rebuild_entities();

  std::string to_conll() const;

private:
  std::shared_ptr<DocumentStorage> storage_;
};

// Views name one row of a storage. They are checked when made, and every read
// checks the row again: an edit that removes or renumbers rows leaves older
// views dangling, and those then throw their out-of-range error instead of
// reading outside a column.
class Sentence {
public:
  // Throws std::out_of_range "invalid sentence view".
  Sentence(std::shared_ptr<DocumentStorage> storage, std::uint32_t row);

  const std::shared_ptr<DocumentStorage>& storage() const noexcept { return storage_; }
  std::uint32_t index() const noexcept { return row_; }
  bool same_view(const Sentence& other) const noexcept {
    return storage_ == other.storage_ && row_ == other.row_;
  }

  std::optional<std::string> sent_id() const;
  std::optional<std::string> speaker() const;
  std::optional<std::string> doc_id() const;
  // The empty string when the sentence has no text.
  std::string text() const;
  std::vector<std::string> comments() const;
  std::optional<std::int32_t> sentiment() const;
  void set_sentiment(std::optional<std::int32_t> sentiment);
  std::optional<ConstituencyTree> constituency() const;
  void set_constituency(const std::optional<ConstituencyTree>& tree);

  Document doc() const;
  TokenSequence tokens() const;
  // Regular words in row order.
  WordSequence words() const;
  // Empty words in the order they were added.
  WordSequence empty_words() const;
  // Regular and empty words ordered by (id, empty index).
  WordSequence all_words() const;
  SpanSequence ents() const;

  std::string to_conll() const;

private:
  std::shared_ptr<DocumentStorage> storage_;
  std::uint32_t row_;
};

class Token {
public:
  // Throws std::out_of_range "invalid token view".
  Token(std::shared_ptr<DocumentStorage> storage, std::uint32_t row);

  const std::shared_ptr<DocumentStorage>& storage() const noexcept { return storage_; }
  std::uint32_t index() const noexcept { return row_; }
  bool same_view(const Token& other) const noexcept {
    return storage_ == other.storage_ && row_ == other.row_;
  }

  std::pair<std::int32_t, std::int32_t> id_range() const;
  std::string text() const;
  void set_text(const std::string& text);
  std::optional<std::string> misc() const;
  void set_misc(const std::optional<std::string>& misc);
  std::optional<std::string> ner() const;
  // Does not rebuild the entity spans; see Document::rebuild_entities.
  void set_ner(const std::optional<std::string>& ner);
  std::vector<std::string> multi_ner() const;
  void set_multi_ner(const std::vector<std::string>& tags);
  std::optional<std::uint32_t> start_char() const;
  std::optional<std::uint32_t> end_char() const;
  std::optional<bool> manual_expansion() const;
  void set_manual_expansion(std::optional<bool> manual_expansion);
  std::string spaces_before() const;
  void set_spaces_before(const std::string& spaces);
  std::string spaces_after() const;
  void set_spaces_after(const std::string& spaces);

  WordSequence words() const;
  Sentence sent() const;
  bool is_mwt() const;

private:
  std::shared_ptr<DocumentStorage> storage_;
  std::uint32_t row_;
};

// A word row, or the synthetic ROOT word of a sentence (row kRootRow, id 0,
// text "ROOT"), which reads as unannotated and refuses every change.
class Word {
public:
  static constexpr std::uint32_t kRootRow = 0xFFFFFFFFu;
  static constexpr std::uint32_t kNoSentence = 0xFFFFFFFFu;

  // Throws std::out_of_range "invalid word view". The sentence field matters
  // only for the ROOT word; views of word rows may carry kNoSentence.
  Word(std::shared_ptr<DocumentStorage> storage, std::uint32_t row, std::uint32_t sentence);

  const std::shared_ptr<DocumentStorage>& storage() const noexcept { return storage_; }
  std::uint32_t index() const noexcept { return row_; }
  bool same_view(const Word& other) const noexcept {
    return storage_ == other.storage_ && row_ == other.row_ && sentence_ == other.sentence_;
  }

  bool is_root() const noexcept { return row_ == kRootRow; }
  std::int32_t id() const;
  std::optional<std::int32_t> empty_index() const;
  std::string text() const;
  void set_text(const std::string& text);
  std::optional<std::string> lemma() const;
  void set_lemma(const std::optional<std::string>& lemma);
  std::optional<std::string> upos() const;
  void set_upos(const std::optional<std::string>& upos);
  std::optional<std::string> xpos() const;
  void set_xpos(const std::optional<std::string>& xpos);
  std::optional<std::string> feats() const;
  void set_feats(const std::optional<std::string>& feats);
  std::optional<std::int32_t> head() const;
  void set_head(std::optional<std::int32_t> head);
  std::optional<std::string> deprel() const;
  void set_deprel(const std::optional<std::string>& deprel);
  std::optional<std::string> deps() const;
  void set_deps(const std::optional<std::string>& deps);
  std::optional<std::string> misc() const;
  void set_misc(const std::optional<std::string>& misc);
  std::optional<std::uint32_t> start_char() const;
  std::optional<std::uint32_t> end_char() const;
  std::optional<bool> manual_expansion() const;
  std::vector<std::string> morphemes() const;
  void set_morphemes(const std::vector<std::string>& morphemes);
  std::vector<CorefAttachment> coref_chains() const;

  // Empty for the ROOT word and for empty words.
  std::optional<Token> parent() const;
  Sentence sent() const;

private:
  std::optional<std::string> string_column(const std::vector<std::uint32_t>& column) const;
  void set_string_column(std::vector<std::uint32_t>& column,
                         const std::optional<std::string>& value);
  void check_mutable() const;

  std::shared_ptr<DocumentStorage> storage_;
  std::uint32_t row_;
  std::uint32_t sentence_;
};

class Span {
public:
  // Throws std::out_of_range "invalid span view".
  Span(std::shared_ptr<DocumentStorage> storage, std::uint32_t row);

  const std::shared_ptr<DocumentStorage>& storage() const noexcept { return storage_; }
  std::uint32_t index() const noexcept { return row_; }
  bool same_view(const Span& other) const noexcept {
    return storage_ == other.storage_ && row_ == other.row_;
  }

  std::string text() const;
  std::string type() const;
  std::optional<std::uint32_t> start_char() const;
  std::optional<std::uint32_t> end_char() const;
  TokenSequence tokens() const;
  WordSequence words() const;
  Sentence sent() const;
  Document doc() const;

private:
  std::shared_ptr<DocumentStorage> storage_;
  std::uint32_t row_;
};

} // namespace velmora
