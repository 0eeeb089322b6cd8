#include <velmora/document.hpp>

#include <stdexcept>
#include <utility>

#include "document/document_storage_access.hpp"

namespace velmora {

using detail::cell;
using detail::kInvalidTokenView;

Token::Token(std::shared_ptr<DocumentStorage> storage, std::uint32_t row)
    : storage_(std::move(storage)), row_(row) {
  if (!storage_ || row_ >= storage_->token_count()) {
    throw std::out_of_range(kInvalidTokenView);
  }
}

std::pair<std::int32_t, std::int32_t> Token::id_range() const {
  return {cell(storage_->token_first_id, row_, kInvalidTokenView),
          cell(storage_->token_last_id, row_, kInvalidTokenView)};
}

std::string Token::text() const {
  return storage_->pool.get(cell(storage_->token_text, row_, kInvalidTokenView));
}

void Token::set_text(const std::string& text) {
  if (text.empty()) {
    throw std::invalid_argument("a token must have non-empty text");
  }
  std::uint32_t& id = cell(storage_->token_text, row_, kInvalidTokenView);
  id = storage_->pool.intern(text);
}

std::optional<std::string> Token::misc() const {
  return storage_->pool.optional(cell(storage_->token_misc, row_, kInvalidTokenView));
}

void Token::set_misc(const std::optional<std::string>& misc) {
  std::uint32_t& id = cell(storage_->token_misc, row_, kInvalidTokenView);
  id = storage_->pool.intern_optional(misc);
}

std::optional<std::string> Token::ner() const {
  return storage_->pool.optional(cell(storage_->token_ner, row_, kInvalidTokenView));
}

void Token::set_ner(const std::optional<std::string>& ner) {
  std::uint32_t& id = cell(storage_->token_ner, row_, kInvalidTokenView);
  id = storage_->pool.intern_optional(ner);
}

std::vector<std::string> Token::multi_ner() const {
  return detail::pooled_strings(storage_->pool,
                                cell(storage_->token_multi_ner, row_, kInvalidTokenView));
}

void Token::set_multi_ner(const std::vector<std::string>& tags) {
  std::vector<std::uint32_t>& ids = cell(storage_->token_multi_ner, row_, kInvalidTokenView);
  ids = detail::intern_strings(storage_->pool, tags);
}

std::optional<std::uint32_t> Token::start_char() const {
  const std::uint32_t value = cell(storage_->token_start_char, row_, kInvalidTokenView);
  return value == kAbsentOffset ? std::nullopt : std::optional<std::uint32_t>(value);
}

std::optional<std::uint32_t> Token::end_char() const {
  const std::uint32_t value = cell(storage_->token_end_char, row_, kInvalidTokenView);
  return value == kAbsentOffset ? std::nullopt : std::optional<std::uint32_t>(value);
}

std::optional<bool> Token::manual_expansion() const {
  const std::int8_t value = cell(storage_->token_manual_expansion, row_, kInvalidTokenView);
  return value < 0 ? std::nullopt : std::optional<bool>(value > 0);
}

void Token::set_manual_expansion(std::optional<bool> manual_expansion) {
  cell(storage_->token_manual_expansion, row_, kInvalidTokenView) =
      manual_expansion ? (*manual_expansion ? 1 : 0) : -1;
}

std::string Token::spaces_before() const {
  return storage_->pool.get(cell(storage_->token_spaces_before, row_, kInvalidTokenView));
}

void Token::set_spaces_before(const std::string& spaces) {
  std::uint32_t& id = cell(storage_->token_spaces_before, row_, kInvalidTokenView);
  id = storage_->pool.intern(spaces);
}

std::string Token::spaces_after() const {
  return storage_->pool.get(cell(storage_->token_spaces_after, row_, kInvalidTokenView));
}

void Token::set_spaces_after(const std::string& spaces) {
  std::uint32_t& id = cell(storage_->token_spaces_after, row_, kInvalidTokenView);
  id = storage_->pool.intern(spaces);
}

WordSequence Token::words() const {
  const std::uint32_t first = cell(storage_->token_first_word, row_, kInvalidTokenView);
  const std::uint32_t end = cell(storage_->token_end_word, row_, kInvalidTokenView);
  return WordSequence(storage_, SequenceRange{first, 1, end > first ? end - first : 0u});
}

Sentence Token::sent() const {
  return Sentence(storage_, cell(storage_->token_sentence, row_, kInvalidTokenView));
}

bool Token::is_mwt() const {
  const std::uint32_t first = cell(storage_->token_first_word, row_, kInvalidTokenView);
  const std::uint32_t end = cell(storage_->token_end_word, row_, kInvalidTokenView);
  return end > first && end - first > 1;
}

} // namespace velmora
