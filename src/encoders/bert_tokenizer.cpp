#include "velmora/bert_tokenizer.hpp"

#include <array>
#include <string_view>
#include <utility>

#include "encoders/subword_encoding.hpp"
#include "encoders/subword_unicode.hpp"
#include "encoders/subword_word_cache.hpp"
#include "velmora/text.hpp"

namespace velmora {
namespace {

// What the pre-tokenizer does with one code point.
enum class PieceRole : unsigned char { drop, split, isolate, keep };

PieceRole classify_slow(std::uint32_t codepoint) noexcept {
  if (codepoint == 0 || codepoint == 0xFFFD) {
    return PieceRole::drop;
  }
  // Controls are tested before whitespace, so only tab, line feed and
  // carriage return among them separate pieces; the others vanish and join
  // their neighbours.
  if (detail::is_wordpiece_control(codepoint) && codepoint != 0x09 && codepoint != 0x0A &&
      codepoint != 0x0D) {
    return PieceRole::drop;
  }
  if (detail::is_wordpiece_whitespace(codepoint)) {
    return PieceRole::split;
  }
  if (detail::is_wordpiece_punctuation(codepoint) || detail::is_wordpiece_cjk(codepoint)) {
    return PieceRole::isolate;
  }
  return PieceRole::keep;
}

PieceRole classify(std::uint32_t codepoint) noexcept {
  static const std::array<PieceRole, 128> ascii = [] {
    std::array<PieceRole, 128> roles{};
    for (std::uint32_t c = 0; c < 128; ++c) {
      roles[c] = classify_slow(c);
    }
    return roles;
  }();
  return codepoint < 128 ? ascii[codepoint] : classify_slow(codepoint);
}

// A word after normalisation and splitting: the pieces' UTF-8 bytes laid end
// to end in `text`, the byte offset of every kept code point (plus one final
// entry for the end), and each piece as a range of code-point indexes.
struct SplitWord {
  std::string text;
  std::vector<std::size_t> starts;
  std::vector<std::pair<std::size_t, std::size_t>> pieces;
};

} // namespace

class WordPieceTokenizer::Impl {
public:
  Impl(std::vector<std::string> vocabulary, bool lowercase, bool strip_accents,
       const std::string& unknown_token, const std::string& cls_token, const std::string& sep_token,
       std::string continuing_subword_prefix, std::size_t max_input_characters_per_word);

  std::vector<std::int64_t> word_ids(std::string_view word) const {
    return cache_.lookup_or_compute(word, [this](std::string_view w) { return compute(w); });
  }

  WordPieceEncoding encode(const std::vector<std::string>& words, bool add_special_tokens) const {
    return detail::encode_words(words, add_special_tokens, cls_id_, sep_id_,
                                [this](const std::string& word) { return word_ids(word); });
  }

  std::size_t vocabulary_size() const { return vocabulary_size_; }
  std::size_t cache_size() const { return static_cast<std::size_t>(cache_.size()); }

private:
  // The word algorithm with its fallback: every word, the empty one
  // included, gets at least one subword.
  std::vector<std::int64_t> compute(std::string_view word) const {
    std::vector<std::int64_t> ids = segment(word);
    if (ids.empty()) {
      ids = segment("-");
    }
    if (ids.empty()) {
      ids.push_back(unknown_id_);
    }
    return ids;
  }

  std::vector<std::int64_t> segment(std::string_view word) const;
  SplitWord normalize_and_split(std::string_view word) const;
  void segment_piece(const SplitWord& split, std::size_t first, std::size_t last,
                     std::string& candidate, std::vector<std::int64_t>& ids) const;

  detail::TokenIdMap vocabulary_;
  std::size_t vocabulary_size_ = 0;
  bool lowercase_;
  bool strip_accents_;
  std::string prefix_;
  std::size_t max_characters_;
  std::int64_t unknown_id_ = 0;
  std::int64_t cls_id_ = 0;
  std::int64_t sep_id_ = 0;
  mutable detail::WordCache cache_;
};

WordPieceTokenizer::Impl::Impl(std::vector<std::string> vocabulary, bool lowercase,
                               bool strip_accents, const std::string& unknown_token,
                               const std::string& cls_token, const std::string& sep_token,
                               std::string continuing_subword_prefix,
                               std::size_t max_input_characters_per_word)
    : lowercase_(lowercase), strip_accents_(strip_accents),
      prefix_(std::move(continuing_subword_prefix)),
      max_characters_(max_input_characters_per_word) {
  if (vocabulary.empty()) {
    throw WordPieceError("WordPiece vocabulary cannot be empty");
  }
  if (max_characters_ == 0) {
    throw WordPieceError("max_input_characters_per_word must be positive");
  }
  vocabulary_size_ = vocabulary.size();
  vocabulary_.reserve(vocabulary.size());
  for (std::size_t i = 0; i < vocabulary.size(); ++i) {
    const auto [where, inserted] =
        vocabulary_.emplace(std::move(vocabulary[i]), static_cast<std::int64_t>(i));
    if (!inserted) {
      throw WordPieceError("WordPiece vocabulary contains duplicate token: " + where->first);
    }
  }
  const auto require = [this](const std::string& token) {
    const std::int64_t* id = detail::find_token(vocabulary_, token);
    if (id == nullptr) {
      throw WordPieceError("WordPiece vocabulary is missing required token: " + token);
    }
    return *id;
  };
  unknown_id_ = require(unknown_token);
  cls_id_ = require(cls_token);
  sep_id_ = require(sep_token);
}

SplitWord WordPieceTokenizer::Impl::normalize_and_split(std::string_view word) const {
  std::string lowered;
  std::string_view text = word;
  const bool ascii = detail::is_ascii(word.data(), word.size());
  if (lowercase_) {
    if (ascii) {
      lowered.assign(word);
      for (char& c : lowered) {
        if (c >= 'A' && c <= 'Z') {
          c = static_cast<char>(c - 'A' + 'a');
        }
      }
    } else {
      lowered = detail::unicode_lower(word);
    }
    text = lowered;
  }

  SplitWord split;
  split.text.reserve(text.size());
  split.starts.reserve(text.size() + 1);
  std::size_t piece_begin = 0;
  const auto end_piece = [&] {
    if (split.starts.size() > piece_begin) {
      split.pieces.emplace_back(piece_begin, split.starts.size());
    }
    piece_begin = split.starts.size();
  };
  const auto place = [&](std::uint32_t codepoint) {
    switch (classify(codepoint)) {
    case PieceRole::drop:
      return;
    case PieceRole::split:
      end_piece();
      return;
    case PieceRole::isolate:
      end_piece();
      split.starts.push_back(split.text.size());
      detail::append_utf8(codepoint, split.text);
      end_piece();
      return;
    case PieceRole::keep:
      split.starts.push_back(split.text.size());
      detail::append_utf8(codepoint, split.text);
      return;
    }
  };
  const auto visit = [&](std::uint32_t codepoint, std::size_t, std::size_t) {
    const std::uint32_t* replacement = nullptr;
    std::size_t length = 0;
    if (strip_accents_ && codepoint >= 0x80 &&
        detail::wordpiece_accent_replacement(codepoint, replacement, length)) {
      for (std::size_t k = 0; k < length; ++k) {
        place(replacement[k]);
      }
    } else {
      place(codepoint);
    }
  };

  if (ascii) {
    // Lower-casing keeps ASCII text ASCII, and no ASCII code point has an
    // accent replacement.
    for (const char c : text) {
      place(static_cast<unsigned char>(c));
    }
  } else {
    const std::size_t error = detail::walk_utf8(text.data(), text.size(), visit);
    if (error != detail::utf8_valid) {
      throw WordPieceError(detail::invalid_utf8_message(error));
    }
  }
  end_piece();
  split.starts.push_back(split.text.size());
  return split;
}

void WordPieceTokenizer::Impl::segment_piece(const SplitWord& split, std::size_t first,
                                             std::size_t last, std::string& candidate,
                                             std::vector<std::int64_t>& ids) const {
  if (last - first > max_characters_) {
    ids.push_back(unknown_id_);
    return;
  }
  const std::size_t piece_ids = ids.size();
  const std::size_t piece_end = split.starts[last];
  std::size_t start = first;
  while (start < last) {
    candidate.clear();
    if (start > first) {
      candidate.append(prefix_);
    }
    const std::size_t prefix_length = candidate.size();
    const std::size_t start_byte = split.starts[start];
    candidate.append(split.text, start_byte, piece_end - start_byte);
    const std::int64_t* found = nullptr;
    std::size_t end = last;
    for (; end > start; --end) {
      candidate.resize(prefix_length + (split.starts[end] - start_byte));
      found = detail::find_token(vocabulary_, candidate);
      if (found != nullptr) {
        break;
      }
    }
    if (found == nullptr) {
      // One unmatched position makes the whole piece unknown.
      ids.resize(piece_ids);
      ids.push_back(unknown_id_);
      return;
    }
    ids.push_back(*found);
    start = end;
  }
}

std::vector<std::int64_t> WordPieceTokenizer::Impl::segment(std::string_view word) const {
  const SplitWord split = normalize_and_split(word);
  std::vector<std::int64_t> ids;
  std::string candidate;
  for (const auto& [first, last] : split.pieces) {
    segment_piece(split, first, last, candidate, ids);
  }
  return ids;
}

WordPieceTokenizer::WordPieceTokenizer(std::vector<std::string> vocabulary, bool lowercase,
                                       bool strip_accents, std::string unknown_token,
                                       std::string cls_token, std::string sep_token,
                                       std::string continuing_subword_prefix,
                                       std::size_t max_input_characters_per_word)
    : impl_(std::make_unique<Impl>(std::move(vocabulary), lowercase, strip_accents, unknown_token,
                                   cls_token, sep_token, std::move(continuing_subword_prefix),
                                   max_input_characters_per_word)) {}

WordPieceTokenizer::~WordPieceTokenizer() = default;
WordPieceTokenizer::WordPieceTokenizer(WordPieceTokenizer&& other) noexcept = default;
WordPieceTokenizer& WordPieceTokenizer::operator=(WordPieceTokenizer&& other) noexcept = default;

WordPieceEncoding WordPieceTokenizer::encode(const std::vector<std::string>& words,
                                             bool add_special_tokens) const {
  return impl_->encode(words, add_special_tokens);
}

std::size_t WordPieceTokenizer::vocabulary_size() const {
  return impl_->vocabulary_size();
}

std::size_t WordPieceTokenizer::cache_size() const {
  return impl_->cache_size();
}

} // namespace velmora
