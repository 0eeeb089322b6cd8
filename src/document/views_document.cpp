#include <velmora/document.hpp>

#include <stdexcept>
#include <utility>

#include <velmora/conllu.hpp>

namespace velmora {

Document::Document(std::string text)
    : storage_(std::make_shared<DocumentStorage>(std::move(text))) {}

Document::Document(std::string text, std::vector<SentenceInput> sentences) {
  auto storage = std::make_shared<DocumentStorage>(std::move(text));
  storage->build(sentences);
  storage_ = std::move(storage);
}

Document::Document(std::shared_ptr<DocumentStorage> storage) : storage_(std::move(storage)) {
  if (!storage_) {
    throw std::invalid_argument("a document storage pointer cannot be null");
  }
}

const std::string& Document::text() const noexcept {
  return storage_->text.bytes();
}

std::uint64_t Document::codepoint_count() const noexcept {
  return storage_->text.codepoint_count();
}

std::uint64_t Document::byte_offset(std::size_t codepoint) const {
  return storage_->text.byte_offset(codepoint);
}

std::optional<std::string> Document::lang() const {
  return storage_->pool.optional(storage_->lang);
}

void Document::set_lang(const std::optional<std::string>& lang) {
  storage_->lang = storage_->pool.intern_optional(lang);
}

SentenceSequence Document::sentences() const {
  return SentenceSequence(storage_, SequenceRange{0, 1, storage_->sentence_count()});
}

TokenSequence Document::tokens() const {
  return TokenSequence(storage_, SequenceRange{0, 1, storage_->token_count()});
}

WordSequence Document::words() const {
  return WordSequence(storage_, SequenceRange{0, 1, storage_->regular_word_count});
}

SpanSequence Document::ents() const {
  return SpanSequence(storage_, SequenceRange{0, 1, storage_->span_count()});
}

std::uint64_t Document::num_tokens() const noexcept {
  return storage_->token_count();
}

std::uint64_t Document::num_words() const noexcept {
  return storage_->regular_word_count;
}

const std::vector<std::shared_ptr<const CorefChain>>& Document::coref() const noexcept {
  return storage_->coref_chains;
}

void Document::set_coref(const std::vector<CorefChain>& chains) {
  storage_->set_coref(chains);
}

void Document::rebuild_entities() {
  storage_->rebuild_entities();
}

std::string Document::to_conll() const {
  std::string out;
  const std::uint64_t sentences = storage_->sentence_count();
  for (std::uint64_t s = 0; s < sentences; ++s) {
    if (s != 0) {
      out += "\n\n";
    }
    out += detail::conll_sentence(*storage_, static_cast<std::uint32_t>(s));
  }
  return out;
}

} // namespace velmora
