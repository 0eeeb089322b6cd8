#include "velmora/xlmr_tokenizer.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <string_view>

#include "encoders/subword_encoding.hpp"
#include "encoders/subword_unicode.hpp"
#include "encoders/subword_word_cache.hpp"

namespace velmora {
namespace {

constexpr std::string_view word_boundary = "\xE2\x96\x81"; // U+2581

// Fields of one unit of the double-array trie (the layout SentencePiece
// stores in its precompiled charsmap).
constexpr bool unit_has_leaf(std::uint32_t unit) noexcept {
  return (unit >> 8) & 1U;
}
constexpr std::uint32_t unit_label(std::uint32_t unit) noexcept {
  return unit & 0x800000FFU;
}
constexpr std::uint32_t unit_offset(std::uint32_t unit) noexcept {
  return (unit >> 10) << ((unit & 0x200U) >> 6);
}
constexpr std::uint32_t unit_value(std::uint32_t unit) noexcept {
  return unit & 0x7FFFFFFFU;
}

std::uint32_t read_le32(const unsigned char* p) noexcept {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

} // namespace

class XLMRobertaTokenizer::Impl {
public:
  Impl(std::vector<std::string> vocabulary, std::vector<float> scores,
       const std::vector<unsigned char>& precompiled_charsmap, long long unknown_id,
       const std::string& cls_token, const std::string& sep_token);

  std::vector<std::int64_t> word_ids(std::string_view word) const {
    return cache_.lookup_or_compute(word, [this](std::string_view w) { return tokenize_word(w); });
  }

  WordPieceEncoding encode(const std::vector<std::string>& words, bool add_special_tokens) const {
    return detail::encode_words(words, add_special_tokens, cls_id_, sep_id_,
                                [this](const std::string& word) { return word_ids(word); });
  }

  std::size_t vocabulary_size() const { return pieces_.size(); }
  std::size_t cache_size() const { return static_cast<std::size_t>(cache_.size()); }

private:
  void parse_charsmap(const std::vector<unsigned char>& bytes);
  std::optional<std::string_view> charsmap_lookup(std::string_view key) const;
  std::string normalize(std::string_view word) const;
  std::vector<std::int64_t> tokenize_word(std::string_view word) const;
  void viterbi(std::string_view piece, std::vector<std::int64_t>& out) const;

  std::vector<std::string> pieces_;
  std::vector<float> scores_;
  detail::TokenIdMap piece_ids_;
  std::size_t max_piece_bytes_ = 0;
  std::int64_t unknown_id_ = 0;
  std::int64_t cls_id_ = 0;
  std::int64_t sep_id_ = 0;
  std::vector<std::uint32_t> units_;
  std::string blob_;
  mutable detail::WordCache cache_;
};

XLMRobertaTokenizer::Impl::Impl(std::vector<std::string> vocabulary, std::vector<float> scores,
                                const std::vector<unsigned char>& precompiled_charsmap,
                                long long unknown_id, const std::string& cls_token,
                                const std::string& sep_token)
    : pieces_(std::move(vocabulary)), scores_(std::move(scores)) {
  if (pieces_.empty() || scores_.size() != pieces_.size()) {
    throw SubwordError("XLM-R vocabulary and score arrays must be nonempty and equal");
  }
  if (unknown_id < 0 || static_cast<unsigned long long>(unknown_id) >= pieces_.size()) {
    throw SubwordError("XLM-R unknown id is out of range");
  }
  unknown_id_ = unknown_id;
  piece_ids_.reserve(pieces_.size());
  for (std::size_t i = 0; i < pieces_.size(); ++i) {
    piece_ids_.try_emplace(pieces_[i], static_cast<std::int64_t>(i));
    max_piece_bytes_ = std::max(max_piece_bytes_, pieces_[i].size());
  }
  const auto require = [this](const std::string& token) {
    const std::int64_t* id = detail::find_token(piece_ids_, token);
    if (id == nullptr) {
      throw SubwordError("XLM-R vocabulary is missing token: " + token);
    }
    return *id;
  };
  cls_id_ = require(cls_token);
  sep_id_ = require(sep_token);
  parse_charsmap(precompiled_charsmap);
}

void XLMRobertaTokenizer::Impl::parse_charsmap(const std::vector<unsigned char>& bytes) {
  if (bytes.size() < 4) {
    throw SubwordError("XLM-R precompiled charsmap is truncated");
  }
  const std::uint32_t trie_size = read_le32(bytes.data());
  if (trie_size % 4 != 0 || bytes.size() - 4 < trie_size) {
    throw SubwordError("XLM-R precompiled charsmap has invalid trie");
  }
  units_.resize(trie_size / 4);
  for (std::size_t k = 0; k < units_.size(); ++k) {
    units_[k] = read_le32(bytes.data() + 4 + 4 * k);
  }
  blob_.assign(reinterpret_cast<const char*>(bytes.data()) + 4 + trie_size,
               bytes.size() - 4 - trie_size);
}

// The replacement of the shortest key that begins `key`; it then stands for
// the whole of `key`. Every position read is checked against the lengths, so
// a malformed trie can only fail to match.
std::optional<std::string_view>
XLMRobertaTokenizer::Impl::charsmap_lookup(std::string_view key) const {
  if (units_.empty() || key.empty()) {
    return std::nullopt;
  }
  std::size_t position = unit_offset(units_[0]);
  bool leaf = false;
  for (const char c : key) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte == 0) {
      return std::nullopt;
    }
    const std::size_t next = position ^ byte;
    if (next >= units_.size() || unit_label(units_[next]) != byte) {
      return std::nullopt;
    }
    position = next ^ unit_offset(units_[next]);
    if (unit_has_leaf(units_[next])) {
      leaf = true;
      break;
    }
  }
  if (!leaf || position >= units_.size()) {
    return std::nullopt;
  }
  const std::size_t value = unit_value(units_[position]);
  if (value >= blob_.size()) {
    return std::nullopt;
  }
  const std::string_view rest = std::string_view(blob_).substr(value);
  return rest.substr(0, rest.find('\0'));
}

std::string XLMRobertaTokenizer::Impl::normalize(std::string_view word) const {
  const std::vector<detail::CodepointSpan> spans =
      detail::decode_codepoint_spans(word.data(), word.size());
  std::string out;
  out.reserve(word.size());
  const std::size_t n = spans.size();
  std::size_t k = 0;
  while (k < n) {
    // Graphemes: CR LF; a lone CR; or a code point with the marks, variation
    // selectors 16 and code points after a zero-width joiner that follow it.
    std::size_t end = k + 1;
    if (spans[k].codepoint == 0x0D) {
      if (end < n && spans[end].codepoint == 0x0A) {
        ++end;
      }
    } else {
      while (end < n && (detail::is_subword_mark(spans[end].codepoint) ||
                         spans[end].codepoint == 0xFE0F || spans[end - 1].codepoint == 0x200D)) {
        ++end;
      }
    }
    const std::size_t begin_byte = spans[k].begin;
    const std::size_t end_byte = spans[end - 1].end;
    if (end_byte - begin_byte <= 5) {
      if (const auto replacement =
              charsmap_lookup(word.substr(begin_byte, end_byte - begin_byte))) {
        out.append(*replacement);
        k = end;
        continue;
      }
    }
    for (; k < end; ++k) {
      const std::string_view one = word.substr(spans[k].begin, spans[k].end - spans[k].begin);
      const auto replacement = charsmap_lookup(one);
      out.append(replacement ? *replacement : one);
    }
  }
  return out;
}

std::vector<std::int64_t> XLMRobertaTokenizer::Impl::tokenize_word(std::string_view word) const {
  const std::string normalized = normalize(word);
  const std::vector<detail::CodepointSpan> spans =
      detail::decode_codepoint_spans(normalized.data(), normalized.size());
  std::vector<std::int64_t> ids;
  std::string piece;
  const std::size_t n = spans.size();
  std::size_t k = 0;
  while (k < n) {
    if (detail::is_subword_whitespace(spans[k].codepoint)) {
      ++k;
      continue;
    }
    const std::size_t run_begin = k;
    while (k < n && !detail::is_subword_whitespace(spans[k].codepoint)) {
      ++k;
    }
    piece.assign(word_boundary);
    piece.append(normalized, spans[run_begin].begin, spans[k - 1].end - spans[run_begin].begin);
    viterbi(piece, ids);
  }
  return ids;
}

void XLMRobertaTokenizer::Impl::viterbi(std::string_view piece,
                                        std::vector<std::int64_t>& out) const {
  // Code-point boundaries: bounds[k] is the byte offset where code point k
  // ends (bounds[0] = 0). The piece was built from valid UTF-8.
  std::vector<std::size_t> bounds;
  bounds.reserve(piece.size() + 1);
  bounds.push_back(0);
  for (std::size_t i = 1; i <= piece.size(); ++i) {
    if (i == piece.size() || (static_cast<unsigned char>(piece[i]) & 0xC0) != 0x80) {
      bounds.push_back(i);
    }
  }
  const std::size_t n = bounds.size() - 1;
  constexpr double negative_infinity = -std::numeric_limits<double>::infinity();
  std::vector<double> best(n + 1, negative_infinity);
  std::vector<std::size_t> back(n + 1, 0);
  std::vector<std::int64_t> last(n + 1, unknown_id_);
  best[0] = 0.0;
  const auto relax = [&](std::size_t from, std::size_t to, std::int64_t id) {
    const double candidate =
        best[from] + static_cast<double>(scores_[static_cast<std::size_t>(id)]);
    if (candidate > best[to]) {
      best[to] = candidate;
      back[to] = from;
      last[to] = id;
    }
  };
  for (std::size_t s = 0; s < n; ++s) {
    if (!std::isfinite(best[s])) {
      continue;
    }
    bool any_piece = false;
    for (std::size_t e = s + 1; e <= n; ++e) {
      if (bounds[e] - bounds[s] > max_piece_bytes_) {
        break;
      }
      const std::int64_t* id =
          detail::find_token(piece_ids_, piece.substr(bounds[s], bounds[e] - bounds[s]));
      if (id != nullptr) {
        any_piece = true;
        relax(s, e, *id);
      }
    }
    if (!any_piece) {
      relax(s, s + 1, unknown_id_);
    }
  }
  if (!std::isfinite(best[n])) {
    out.push_back(unknown_id_);
    return;
  }
  const std::size_t first = out.size();
  for (std::size_t e = n; e > 0; e = back[e]) {
    out.push_back(last[e]);
  }
  std::reverse(out.begin() + static_cast<std::ptrdiff_t>(first), out.end());
}

XLMRobertaTokenizer::XLMRobertaTokenizer(std::vector<std::string> vocabulary,
                                         std::vector<float> scores,
                                         std::vector<unsigned char> precompiled_charsmap,
                                         long long unknown_id, std::string cls_token,
                                         std::string sep_token)
    : impl_(std::make_unique<Impl>(std::move(vocabulary), std::move(scores), precompiled_charsmap,
                                   unknown_id, cls_token, sep_token)) {}

XLMRobertaTokenizer::~XLMRobertaTokenizer() = default;
XLMRobertaTokenizer::XLMRobertaTokenizer(XLMRobertaTokenizer&& other) noexcept = default;
XLMRobertaTokenizer& XLMRobertaTokenizer::operator=(XLMRobertaTokenizer&& other) noexcept = default;

WordPieceEncoding XLMRobertaTokenizer::encode(const std::vector<std::string>& words,
                                              bool add_special_tokens) const {
  return impl_->encode(words, add_special_tokens);
}

std::vector<std::int64_t> XLMRobertaTokenizer::tokenize(const std::string& text) const {
  return impl_->word_ids(text);
}

std::size_t XLMRobertaTokenizer::vocabulary_size() const {
  return impl_->vocabulary_size();
}

std::size_t XLMRobertaTokenizer::cache_size() const {
  return impl_->cache_size();
}

} // namespace velmora
