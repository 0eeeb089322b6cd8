#include <velmora/conllu.hpp>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <unicode/uchar.h>

#include <velmora/text.hpp>

#include "document/document_storage_access.hpp"
#include "document/misc_spacing.hpp"

namespace velmora::detail {
namespace {

bool starts_with(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// Appends `value` with every line break (CR, LF or CRLF) written as one
// space, and, when `in_column`, every tab as well: a stored string must not
// end a line or a column early, or no reader can parse the output.
void append_flat(std::string& out, std::string_view value, bool in_column) {
  for (std::size_t i = 0; i < value.size(); ++i) {
    const char c = value[i];
    if (c == '\r' && i + 1 < value.size() && value[i + 1] == '\n') {
      ++i;
    }
    out += c == '\r' || c == '\n' || (in_column && c == '\t') ? ' ' : c;
  }
}

std::string flat_column(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  append_flat(out, value, true);
  return out;
}

// `text` without the whitespace that ends it: Unicode White_Space and the
// information separators U+001C..U+001F, which line readers trim as well.
// Ill-formed UTF-8 is left as it is.
std::string_view without_trailing_space(std::string_view text) {
  std::size_t end = 0;
  const std::size_t bad =
      walk_utf8(text.data(), text.size(), [&end](std::uint32_t c, std::size_t, std::size_t stop) {
        if (!u_isUWhiteSpace(static_cast<UChar32>(c)) && (c < 0x1C || c > 0x1F)) {
          end = stop;
        }
      });
  return bad == utf8_valid ? text.substr(0, end) : text;
}

// The MISC of the line that stands for a whole token (its range line, or the
// line of its only word): `misc` with the token's spacing pieces, composed as
// the dictionary form composes them.
std::optional<std::string> token_misc(const DocumentStorage& storage, std::uint32_t token,
                                      std::uint32_t misc) {
  const StringPool& pool = storage.pool;
  return compose_misc(pool.optional(misc),
                      pool.get(cell(storage.token_spaces_before, token, kInvalidTokenView)),
                      pool.get(cell(storage.token_spaces_after, token, kInvalidTokenView)));
}

void append_range_line(const DocumentStorage& storage, std::uint32_t token, std::string& out) {
  out += std::to_string(cell(storage.token_first_id, token, kInvalidTokenView));
  out += '-';
  out += std::to_string(cell(storage.token_last_id, token, kInvalidTokenView));
  out += '\t';
  append_flat(out, storage.pool.get(cell(storage.token_text, token, kInvalidTokenView)), true);
  out += "\t_\t_\t_\t_\t_\t_\t_\t";
  const std::optional<std::string> misc =
      token_misc(storage, token, cell(storage.token_misc, token, kInvalidTokenView));
  out += misc ? flat_column(*misc) : std::string("_");
}

// The line of word row `row`, whose MISC column starts from `misc_value`.
std::string word_line(const DocumentStorage& storage, std::uint32_t row,
                      const std::optional<std::string>& misc_value) {
  const StringPool& pool = storage.pool;
  auto at = [row](const auto& column) -> decltype(auto) {
    return cell(column, row, kInvalidWordView);
  };

  std::string line = std::to_string(at(storage.word_id));
  const std::int32_t empty_index = at(storage.word_empty_index);
  if (empty_index != kAbsentInt) {
    line += '.';
    line += std::to_string(empty_index);
  }
  line += '\t';
  append_flat(line, pool.get(at(storage.word_text)), true);
  for (const auto* column :
       {&storage.word_lemma, &storage.word_upos, &storage.word_xpos, &storage.word_feats}) {
    line += '\t';
    line += conll_field(pool, at(*column));
  }
  line += '\t';
  const std::int32_t head = at(storage.word_head);
  line += head == kAbsentInt ? std::string("_") : std::to_string(head);
  line += '\t';
  line += conll_field(pool, at(storage.word_deprel));
  line += '\t';
  line += conll_field(pool, at(storage.word_deps));

  std::string misc = misc_value.value_or(std::string());
  const std::vector<std::uint32_t>& morphemes = at(storage.word_morphemes);
  if (!morphemes.empty()) {
    if (!misc.empty()) {
      misc += '|';
    }
    misc += "Morphemes=";
    for (std::size_t i = 0; i < morphemes.size(); ++i) {
      if (i != 0) {
        misc += ',';
      }
      misc += pool.get(morphemes[i]);
    }
  }
  line += '\t';
  if (misc.empty()) {
    line += '_';
  } else {
    append_flat(line, misc, true);
  }
  return line;
}

} // namespace

std::string conll_field(const StringPool& pool, std::uint32_t id) {
  if (id == kAbsentString) {
    return "_";
  }
  const std::string& value = pool.get(id);
  return value.empty() ? std::string("_") : flat_column(value);
}

std::string conll_word_line(const DocumentStorage& storage, std::uint32_t row) {
  return word_line(storage, row,
                   storage.pool.optional(cell(storage.word_misc, row, kInvalidWordView)));
}

std::string conll_sentence(const DocumentStorage& storage, std::uint32_t row) {
  const StringPool& pool = storage.pool;
  std::string out;
  bool has_sent_id = false;
  bool has_text = false;
  for (const std::string& comment :
       pooled_strings(pool, cell(storage.sentence_comments, row, kInvalidSentenceView))) {
    has_sent_id = has_sent_id || starts_with(comment, "# sent_id");
    has_text = has_text || starts_with(comment, "# text");
    out += comment;
    out += '\n';
  }
  if (!has_sent_id) {
    out += "# sent_id = ";
    const std::optional<std::string> sent_id =
        pool.optional(cell(storage.sentence_sent_id, row, kInvalidSentenceView));
    append_flat(out, sent_id ? *sent_id : std::to_string(row), false);
    out += '\n';
  }
  if (!has_text) {
    // The stored text may end in its last token's spaces; the line may not,
    // so a text of whitespace alone gets no line, as an empty one.
    std::string flat;
    append_flat(flat,
                pool.optional(cell(storage.sentence_text, row, kInvalidSentenceView))
                    .value_or(std::string()),
                false);
    const std::string_view text = without_trailing_space(flat);
    if (!text.empty()) {
      out += "# text = ";
      out += text;
      out += '\n';
    }
  }

  const std::uint32_t first = cell(storage.sentence_token_offsets, row, kInvalidSentenceView);
  const std::uint32_t end =
      cell(storage.sentence_token_offsets, std::size_t{row} + 1, kInvalidSentenceView);
  const std::vector<std::uint32_t>& empties =
      cell(storage.sentence_empty_words, row, kInvalidSentenceView);
  std::size_t cursor = 0;
  bool first_line = true;
  auto add_line = [&](auto&& append) {
    if (!first_line) {
      out += '\n';
    }
    first_line = false;
    append();
  };
  auto add_word = [&](std::uint32_t word) {
    add_line([&] { out += conll_word_line(storage, word); });
  };

  // Writes the empty words still ahead of the cursor whose id is below `id`.
  auto add_empty_words_before = [&](std::int32_t id) {
    while (cursor < empties.size() &&
           cell(storage.word_id, empties[cursor], kInvalidWordView) < id) {
      add_word(empties[cursor++]);
    }
  };

  for (std::uint32_t t = first; t < end; ++t) {
    add_empty_words_before(cell(storage.token_first_id, t, kInvalidTokenView));
    const std::uint32_t first_word = cell(storage.token_first_word, t, kInvalidTokenView);
    const std::uint32_t word_end = cell(storage.token_end_word, t, kInvalidTokenView);
    if (cell(storage.token_first_id, t, kInvalidTokenView) !=
        cell(storage.token_last_id, t, kInvalidTokenView)) {
      add_line([&] { append_range_line(storage, t, out); });
    } else if (word_end - first_word == 1) {
      // The token's spacing goes on the line of its only word.
      add_line([&] {
        out += word_line(
            storage, first_word,
            token_misc(storage, t, cell(storage.word_misc, first_word, kInvalidWordView)));
      });
      continue;
    }
    for (std::uint32_t w = first_word; w < word_end; ++w) {
      // An empty word n.k inside a multi-word token stands right after word
      // n, not after the token's last word.
      if (w != first_word) {
        add_empty_words_before(cell(storage.word_id, w, kInvalidWordView));
      }
      add_word(w);
    }
  }
  while (cursor < empties.size()) {
    add_word(empties[cursor++]);
  }
  return out;
}

} // namespace velmora::detail
