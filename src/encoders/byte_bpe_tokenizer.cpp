#include "velmora/byte_bpe_tokenizer.hpp"

#include <algorithm>
#include <array>
#include <iterator>
#include <string_view>
#include <unordered_map>

#include "encoders/subword_encoding.hpp"
#include "encoders/subword_unicode.hpp"
#include "encoders/subword_word_cache.hpp"
#include "velmora/text.hpp"

namespace velmora {
namespace {

// The GPT-2 alphabet: printable Latin-1 bytes stand for themselves, the 68
// others for U+0100 upwards in byte order.
std::array<std::string, 256> byte_tokens() {
  std::array<std::string, 256> tokens;
  std::uint32_t next = 0x100;
  for (std::uint32_t b = 0; b < 256; ++b) {
    const bool printable = (b >= 0x21 && b <= 0x7E) || (b >= 0xA1 && b <= 0xAC) || b >= 0xAE;
    detail::append_utf8(printable ? b : next++, tokens[b]);
  }
  return tokens;
}

enum class RunClass : unsigned char { letter, number, whitespace, other };

RunClass run_class(std::uint32_t codepoint) noexcept {
  if (codepoint < 0x80) {
    if ((codepoint | 0x20) >= 'a' && (codepoint | 0x20) <= 'z') {
      return RunClass::letter;
    }
    if (codepoint >= '0' && codepoint <= '9') {
      return RunClass::number;
    }
  }
  if (detail::is_subword_letter(codepoint) || detail::is_subword_mark(codepoint)) {
    return RunClass::letter;
  }
  if (detail::is_subword_number(codepoint)) {
    return RunClass::number;
  }
  if (detail::is_subword_whitespace(codepoint)) {
    return RunClass::whitespace;
  }
  return RunClass::other;
}

struct Merge {
  std::uint32_t rank;
  std::int64_t merged_id;
};

// Ids are vocabulary positions, far below 2^32, so a pair packs losslessly.
std::uint64_t pair_key(std::int64_t left, std::int64_t right) noexcept {
  return (static_cast<std::uint64_t>(left) << 32) | static_cast<std::uint32_t>(right);
}

} // namespace

class ByteBPETokenizer::Impl {
public:
  Impl(std::vector<std::string> vocabulary,
       const std::vector<std::pair<std::string, std::string>>& merges,
       const std::string& unknown_token, const std::string& cls_token, const std::string& sep_token,
       bool add_prefix_space);

  std::vector<std::int64_t> word_ids(std::string_view word) const {
    return cache_.lookup_or_compute(word, [this](std::string_view w) { return tokenize_word(w); });
  }

  WordPieceEncoding encode(const std::vector<std::string>& words, bool add_special_tokens) const {
    return detail::encode_words(words, add_special_tokens, cls_id_, sep_id_,
                                [this](const std::string& word) { return word_ids(word); });
  }

  std::size_t vocabulary_size() const { return vocabulary_size_; }
  std::size_t cache_size() const { return static_cast<std::size_t>(cache_.size()); }

private:
  std::vector<std::int64_t> tokenize_word(std::string_view word) const;
  // Contraction, letter, number, whitespace and other runs of `text`.
  static std::vector<std::string_view> pretokenize(std::string_view text,
                                                   const std::vector<detail::CodepointSpan>& spans);
  void merge_piece(std::string_view piece, std::vector<std::int64_t>& out) const;

  detail::TokenIdMap vocabulary_;
  std::size_t vocabulary_size_ = 0;
  std::array<std::int64_t, 256> byte_to_id_{};
  std::unordered_map<std::uint64_t, Merge> merge_ranks_;
  std::int64_t unknown_id_ = 0;
  std::int64_t cls_id_ = 0;
  std::int64_t sep_id_ = 0;
  bool add_prefix_space_;
  mutable detail::WordCache cache_;
};

ByteBPETokenizer::Impl::Impl(std::vector<std::string> vocabulary,
                             const std::vector<std::pair<std::string, std::string>>& merges,
                             const std::string& unknown_token, const std::string& cls_token,
                             const std::string& sep_token, bool add_prefix_space)
    : add_prefix_space_(add_prefix_space) {
  if (vocabulary.empty()) {
    throw SubwordError("byte-level BPE vocabulary cannot be empty");
  }
  vocabulary_size_ = vocabulary.size();
  vocabulary_.reserve(vocabulary.size());
  for (std::size_t i = 0; i < vocabulary.size(); ++i) {
    if (!vocabulary_.emplace(std::move(vocabulary[i]), static_cast<std::int64_t>(i)).second) {
      throw SubwordError("byte-level BPE vocabulary contains a duplicate token");
    }
  }
  const auto require = [this](std::string_view token) {
    const std::int64_t* id = detail::find_token(vocabulary_, token);
    if (id == nullptr) {
      throw SubwordError("byte-level BPE vocabulary is missing token: " + std::string(token));
    }
    return *id;
  };
  unknown_id_ = require(unknown_token);
  cls_id_ = require(cls_token);
  sep_id_ = require(sep_token);
  const std::array<std::string, 256> tokens = byte_tokens();
  for (std::size_t b = 0; b < 256; ++b) {
    byte_to_id_[b] = require(tokens[b]);
  }
  merge_ranks_.reserve(merges.size());
  std::string joined;
  for (std::size_t rank = 0; rank < merges.size(); ++rank) {
    const auto& [left, right] = merges[rank];
    const std::int64_t left_id = require(left);
    const std::int64_t right_id = require(right);
    joined.assign(left).append(right);
    const std::int64_t merged_id = require(joined);
    // A repeated pair keeps its first rank.
    merge_ranks_.try_emplace(pair_key(left_id, right_id),
                             Merge{static_cast<std::uint32_t>(rank), merged_id});
  }
}

void ByteBPETokenizer::Impl::merge_piece(std::string_view piece,
                                         std::vector<std::int64_t>& out) const {
  std::vector<std::int64_t> ids;
  ids.reserve(piece.size());
  for (const char c : piece) {
    ids.push_back(byte_to_id_[static_cast<unsigned char>(c)]);
  }
  std::vector<std::int64_t> next;
  next.reserve(ids.size());
  while (ids.size() >= 2) {
    const Merge* best = nullptr;
    std::uint64_t best_key = 0;
    for (std::size_t i = 0; i + 1 < ids.size(); ++i) {
      const std::uint64_t key = pair_key(ids[i], ids[i + 1]);
      const auto found = merge_ranks_.find(key);
      if (found != merge_ranks_.end() && (best == nullptr || found->second.rank < best->rank)) {
        best = &found->second;
        best_key = key;
      }
    }
    if (best == nullptr) {
      break;
    }
    next.clear();
    for (std::size_t i = 0; i < ids.size(); ++i) {
      if (i + 1 < ids.size() && pair_key(ids[i], ids[i + 1]) == best_key) {
        next.push_back(best->merged_id);
        ++i;
      } else {
        next.push_back(ids[i]);
      }
    }
    ids.swap(next);
  }
  out.insert(out.end(), ids.begin(), ids.end());
}

std::vector<std::string_view>
ByteBPETokenizer::Impl::pretokenize(std::string_view text,
                                    const std::vector<detail::CodepointSpan>& spans) {
  static constexpr std::string_view contractions[] = {"s", "t", "re", "ve", "m", "ll", "d"};
  std::vector<std::string_view> pieces;
  const std::size_t n = spans.size();
  std::size_t i = 0;
  while (i < n) {
    const std::size_t piece_begin = spans[i].begin;
    if (spans[i].codepoint == 0x27 && i + 1 < n) {
      const std::string_view rest = text.substr(spans[i].end);
      const auto* suffix =
          std::find_if(std::begin(contractions), std::end(contractions),
                       [&](std::string_view candidate) { return rest.starts_with(candidate); });
      if (suffix != std::end(contractions)) {
        // The suffixes are ASCII: one code point per byte.
        pieces.push_back(text.substr(piece_begin, 1 + suffix->size()));
        i += 1 + suffix->size();
        continue;
      }
    }
    // A single space joins the run that follows it.
    std::size_t run = i;
    if (spans[i].codepoint == 0x20 && i + 1 < n &&
        !detail::is_subword_whitespace(spans[i + 1].codepoint)) {
      run = i + 1;
    }
    const RunClass cls = run_class(spans[run].codepoint);
    std::size_t last = run + 1;
    while (last < n && run_class(spans[last].codepoint) == cls) {
      ++last;
    }
    pieces.push_back(text.substr(piece_begin, spans[last - 1].end - piece_begin));
    i = last;
  }
  return pieces;
}

std::vector<std::int64_t> ByteBPETokenizer::Impl::tokenize_word(std::string_view word) const {
  std::vector<std::int64_t> ids;
  if (word.empty()) {
    return ids;
  }
  // Decoding the word as given validates it and reports offsets within it.
  std::vector<detail::CodepointSpan> spans =
      detail::decode_codepoint_spans(word.data(), word.size());
  std::string prefixed;
  std::string_view text = word;
  if (add_prefix_space_ && !detail::is_subword_whitespace(spans.front().codepoint)) {
    prefixed.reserve(word.size() + 1);
    prefixed.push_back(' ');
    prefixed.append(word);
    text = prefixed;
    for (detail::CodepointSpan& span : spans) {
      ++span.begin;
      ++span.end;
    }
    spans.insert(spans.begin(), detail::CodepointSpan{0x20, 0, 1});
  }
  for (const std::string_view piece : pretokenize(text, spans)) {
    merge_piece(piece, ids);
  }
  return ids;
}

ByteBPETokenizer::ByteBPETokenizer(std::vector<std::string> vocabulary,
                                   std::vector<std::pair<std::string, std::string>> merges,
                                   std::string unknown_token, std::string cls_token,
                                   std::string sep_token, bool add_prefix_space)
    : impl_(std::make_unique<Impl>(std::move(vocabulary), merges, unknown_token, cls_token,
                                   sep_token, add_prefix_space)) {}

ByteBPETokenizer::~ByteBPETokenizer() = default;
ByteBPETokenizer::ByteBPETokenizer(ByteBPETokenizer&& other) noexcept = default;
ByteBPETokenizer& ByteBPETokenizer::operator=(ByteBPETokenizer&& other) noexcept = default;

WordPieceEncoding ByteBPETokenizer::encode(const std::vector<std::string>& words,
                                           bool add_special_tokens) const {
  return impl_->encode(words, add_special_tokens);
}

std::vector<std::int64_t> ByteBPETokenizer::tokenize(const std::string& text) const {
  return impl_->word_ids(text);
}

std::size_t ByteBPETokenizer::vocabulary_size() const {
  return impl_->vocabulary_size();
}

std::size_t ByteBPETokenizer::cache_size() const {
  return impl_->cache_size();
}

} // namespace velmora
