#include <velmora/document.hpp>

#include <stdexcept>
#include <utility>

#include "document/document_storage_access.hpp"

namespace velmora {

using detail::cell;
using detail::kInvalidWordView;

Word::Word(std::shared_ptr<DocumentStorage> storage, std::uint32_t row, std::uint32_t sentence)
    : storage_(std::move(storage)), row_(row), sentence_(sentence) {
  const bool valid =
      storage_ && (row_ == kRootRow ? sentence_ != kNoSentence : row_ < storage_->word_row_count());
  if (!valid) {
    throw std::out_of_range(kInvalidWordView);
  }
}

void Word::check_mutable() const {
  if (is_root()) {
    throw std::logic_error("the synthetic ROOT word is immutable");
  }
}

std::optional<std::string> Word::string_column(const std::vector<std::uint32_t>& column) const {
  if (is_root()) {
    return std::nullopt;
  }
  return storage_->pool.optional(cell(column, row_, kInvalidWordView));
}

void Word::set_string_column(std::vector<std::uint32_t>& column,
                             const std::optional<std::string>& value) {
  check_mutable();
  std::uint32_t& id = cell(column, row_, kInvalidWordView);
  id = storage_->pool.intern_optional(value);
}

std::int32_t Word::id() const {
  return is_root() ? 0 : cell(storage_->word_id, row_, kInvalidWordView);
}

std::optional<std::int32_t> Word::empty_index() const {
  if (is_root()) {
    return std::nullopt;
  }
  const std::int32_t value = cell(storage_->word_empty_index, row_, kInvalidWordView);
  return value == kAbsentInt ? std::nullopt : std::optional<std::int32_t>(value);
}

std::string Word::text() const {
  if (is_root()) {
    return "ROOT";
  }
  return storage_->pool.get(cell(storage_->word_text, row_, kInvalidWordView));
}

void Word::set_text(const std::string& text) {
  check_mutable();
  if (text.empty()) {
    throw std::invalid_argument("a word must have non-empty text");
  }
  std::uint32_t& id = cell(storage_->word_text, row_, kInvalidWordView);
  id = storage_->pool.intern(text);
}

std::optional<std::string> Word::lemma() const {
  return string_column(storage_->word_lemma);
}
void Word::set_lemma(const std::optional<std::string>& lemma) {
  set_string_column(storage_->word_lemma, lemma);
}

std::optional<std::string> Word::upos() const {
  return string_column(storage_->word_upos);
}
void Word::set_upos(const std::optional<std::string>& upos) {
  set_string_column(storage_->word_upos, upos);
}

std::optional<std::string> Word::xpos() const {
  return string_column(storage_->word_xpos);
}
void Word::set_xpos(const std::optional<std::string>& xpos) {
  set_string_column(storage_->word_xpos, xpos);
}

std::optional<std::string> Word::feats() const {
  return string_column(storage_->word_feats);
}
void Word::set_feats(const std::optional<std::string>& feats) {
  set_string_column(storage_->word_feats, feats);
}

std::optional<std::string> Word::deprel() const {
  return string_column(storage_->word_deprel);
}
void Word::set_deprel(const std::optional<std::string>& deprel) {
  set_string_column(storage_->word_deprel, deprel);
}

std::optional<std::string> Word::deps() const {
  return string_column(storage_->word_deps);
}
void Word::set_deps(const std::optional<std::string>& deps) {
  set_string_column(storage_->word_deps, deps);
}

std::optional<std::string> Word::misc() const {
  return string_column(storage_->word_misc);
}
void Word::set_misc(const std::optional<std::string>& misc) {
  set_string_column(storage_->word_misc, misc);
}

std::optional<std::int32_t> Word::head() const {
  if (is_root()) {
    return std::nullopt;
  }
  const std::int32_t value = cell(storage_->word_head, row_, kInvalidWordView);
  return value == kAbsentInt ? std::nullopt : std::optional<std::int32_t>(value);
}

void Word::set_head(std::optional<std::int32_t> head) {
  check_mutable();
  cell(storage_->word_head, row_, kInvalidWordView) = head ? *head : kAbsentInt;
}

std::optional<std::uint32_t> Word::start_char() const {
  if (is_root()) {
    return std::nullopt;
  }
  const std::uint32_t value = cell(storage_->word_start_char, row_, kInvalidWordView);
  return value == kAbsentOffset ? std::nullopt : std::optional<std::uint32_t>(value);
}

std::optional<std::uint32_t> Word::end_char() const {
  if (is_root()) {
    return std::nullopt;
  }
  const std::uint32_t value = cell(storage_->word_end_char, row_, kInvalidWordView);
  return value == kAbsentOffset ? std::nullopt : std::optional<std::uint32_t>(value);
}

std::optional<bool> Word::manual_expansion() const {
  if (is_root()) {
    return std::nullopt;
  }
  const std::int8_t value = cell(storage_->word_manual_expansion, row_, kInvalidWordView);
  return value < 0 ? std::nullopt : std::optional<bool>(value > 0);
}

std::vector<std::string> Word::morphemes() const {
  if (is_root()) {
    return {};
  }
  return detail::pooled_strings(storage_->pool,
                                cell(storage_->word_morphemes, row_, kInvalidWordView));
}

void Word::set_morphemes(const std::vector<std::string>& morphemes) {
  check_mutable();
  std::vector<std::uint32_t>& ids = cell(storage_->word_morphemes, row_, kInvalidWordView);
  ids = detail::intern_strings(storage_->pool, morphemes);
}

std::vector<CorefAttachment> Word::coref_chains() const {
  if (is_root()) {
    return {};
  }
  return cell(storage_->word_coref, row_, kInvalidWordView);
}

std::optional<Token> Word::parent() const {
  if (is_root()) {
    return std::nullopt;
  }
  const std::uint32_t token = cell(storage_->word_token, row_, kInvalidWordView);
  if (token == kNoToken) {
    return std::nullopt;
  }
  return Token(storage_, token);
}

Sentence Word::sent() const {
  if (is_root()) {
    return Sentence(storage_, sentence_);
  }
  return Sentence(storage_, cell(storage_->word_sentence, row_, kInvalidWordView));
}

} // namespace velmora
