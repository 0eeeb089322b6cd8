#include <velmora/document_storage.hpp>

#include <string>
#include <string_view>
#include <utility>

#include "document/document_storage_rows.hpp"

namespace velmora {
namespace {

// A BIOES-style tag split into its one-byte prefix and its type.
struct Tag {
  char prefix = 0;
  std::string_view type;
};

// Empty for an absent tag or one that is not "<prefix>-<type>".
std::optional<Tag> read_tag(const DocumentStorage& storage, std::uint32_t token) {
  const std::uint32_t id = storage.token_ner[token];
  if (id == kAbsentString) {
    return std::nullopt;
  }
  std::string_view tag = storage.pool.get(id);
  if (tag.size() < 3 || tag[1] != '-') {
    return std::nullopt;
  }
  return Tag{tag[0], tag.substr(2)};
}

// The span columns under construction; moved into the storage only once every
// sentence is done, so a failure leaves the old spans in place.
struct SpanColumns {
  std::vector<std::uint32_t> sentence_offsets{0};
  std::vector<std::uint32_t> sentence, first_token, end_token, first_word, end_word, text, type,
      start_char, end_char;

  void add(DocumentStorage& storage, std::uint32_t s, std::uint32_t a, std::uint32_t b,
           std::string_view entity_type) {
    const std::uint32_t start = storage.token_start_char[a];
    const std::uint32_t end = storage.token_end_char[b - 1];
    const std::uint32_t text_id =
        detail::valid_char_range(storage, start, end)
            ? storage.pool.intern(storage.text.slice(start, end))
            : storage.pool.intern(detail::joined_token_text(storage, a, b));
    const std::uint32_t type_id = storage.pool.intern(entity_type);
    sentence.push_back(s);
    first_token.push_back(a);
    end_token.push_back(b);
    first_word.push_back(storage.token_first_word[a]);
    end_word.push_back(storage.token_end_word[b - 1]);
    text.push_back(text_id);
    type.push_back(type_id);
    start_char.push_back(start);
    end_char.push_back(end);
  }
};

} // namespace

void DocumentStorage::rebuild_entities() {
  SpanColumns spans;
  const std::uint64_t sentences = sentence_count();
  for (std::uint32_t s = 0; s < sentences; ++s) {
    const std::uint32_t first = sentence_token_offsets.at(s);
    const std::uint32_t end = sentence_token_offsets.at(s + 1);
    std::uint32_t t = first;
    while (t < end) {
      const std::optional<Tag> tag = read_tag(*this, t);
      if (!tag || tag->prefix == 'O') {
        ++t;
        continue;
      }
      // Keep the type as a string: the view points into the pool, which
      // further interning may move.
      const std::string type(tag->type);
      std::uint32_t j = t + 1;
      if (tag->prefix == 'B') {
        while (j < end) {
          const std::optional<Tag> next = read_tag(*this, j);
          if (!next || next->type != type) {
            break;
          }
          if (next->prefix == 'I') {
            ++j;
          } else if (next->prefix == 'E' || next->prefix == 'L') {
            ++j;
            break;
          } else {
            break;
          }
        }
      }
      spans.add(*this, s, t, j, type);
      t = j;
    }
    spans.sentence_offsets.push_back(static_cast<std::uint32_t>(spans.sentence.size()));
  }
  sentence_span_offsets = std::move(spans.sentence_offsets);
  span_sentence = std::move(spans.sentence);
  span_first_token = std::move(spans.first_token);
  span_end_token = std::move(spans.end_token);
  span_first_word = std::move(spans.first_word);
  span_end_word = std::move(spans.end_word);
  span_text = std::move(spans.text);
  span_type = std::move(spans.type);
  span_start_char = std::move(spans.start_char);
  span_end_char = std::move(spans.end_char);
}

} // namespace velmora
