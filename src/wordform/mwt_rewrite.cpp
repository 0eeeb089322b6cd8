// The "mwt" stage over a whole document: marked tokens take the words of
// their expansion, every sentence is renumbered, and the storage is rebuilt in
// place from the rewritten records.

#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "encoders/model_call.hpp"
#include "wordform/mwt_impl.hpp"

namespace velmora {
namespace {

constexpr std::string_view kMark = "MWT=Yes";

// Splits at every `separator`, keeping empty pieces.
std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> pieces;
  for (std::size_t start = 0;;) {
    const std::size_t end = text.find(separator, start);
    pieces.push_back(text.substr(start, end - start));
    if (end == std::string_view::npos) {
      return pieces;
    }
    start = end + 1;
  }
}

bool is_marked(const TokenInput& token) {
  if (!token.misc) {
    return false;
  }
  for (const std::string_view item : split(*token.misc, '|')) {
    if (item == kMark) {
      return true;
    }
  }
  return false;
}

// The MISC items without the mark and without empty items; absent when
// nothing remains.
std::optional<std::string> without_mark(const std::string& misc) {
  std::string kept;
  for (const std::string_view item : split(misc, '|')) {
    if (item.empty() || item == kMark) {
      continue;
    }
    if (!kept.empty()) {
      kept += '|';
    }
    kept += item;
  }
  if (kept.empty()) {
    return std::nullopt;
  }
  return kept;
}

WordInput word_of(const std::string& text, std::int32_t id) {
  WordInput word;
  word.id = id;
  word.text = text;
  return word;
}

// Replaces a marked token's words by those of its expansion. Returns the
// number of words.
std::int32_t expand_token(const std::string& expansion, TokenInput& token, std::int32_t running) {
  std::vector<std::string> pieces;
  for (const std::string_view piece : split(expansion, ' ')) {
    if (!piece.empty()) {
      pieces.emplace_back(piece);
    }
  }
  token.misc = without_mark(*token.misc);
  token.words.clear();
  if (pieces.size() < 2) {
    // No split found: the token stays one word, with its own form.
    WordInput& word = token.words.emplace_back(word_of(token.text, running + 1));
    word.start_char = token.start_char;
    word.end_char = token.end_char;
  } else {
    token.words.reserve(pieces.size());
    for (std::size_t j = 0; j < pieces.size(); ++j) {
      token.words.push_back(word_of(pieces[j], running + 1 + static_cast<std::int32_t>(j)));
    }
  }
  const auto count = static_cast<std::int32_t>(token.words.size());
  token.first_id = running + 1;
  token.last_id = running + count;
  return count;
}

// A manually expanded token keeps its words and their annotations; only its
// ids move.
std::int32_t shift_manual_token(TokenInput& token, std::int32_t running) {
  const std::int32_t shift = running + 1 - token.first_id;
  token.first_id += shift;
  token.last_id += shift;
  for (WordInput& word : token.words) {
    word.id += shift;
  }
  token.manual_expansion.reset();
  return token.last_id - running;
}

// Any other token: renumbered in place. Its words lose their tree, as the
// heads name ids of the old numbering. A token of several words (one that has
// been expanded before) keeps them, numbered one after the other.
std::int32_t renumber_token(TokenInput& token, std::int32_t running) {
  if (token.words.empty()) {
    WordInput& word = token.words.emplace_back(word_of(token.text, 0));
    word.start_char = token.start_char;
    word.end_char = token.end_char;
  }
  std::int32_t id = running;
  for (WordInput& word : token.words) {
    word.id = ++id;
    word.head.reset();
    word.deprel.reset();
    word.deps.reset();
  }
  token.first_id = running + 1;
  token.last_id = id;
  return id - running;
}

} // namespace

Document MWTPlan::process(const Document& document) const {
  const Impl& plan = impl();
  return detail::model_call<MWTModelError>([&] {
    const std::shared_ptr<DocumentStorage>& storage = document.storage();
    std::vector<SentenceInput> sentences = detail::export_sentences(*storage);
    // Each distinct marked form is expanded once, as one unit of the team, in
    // reading order, before any token changes.
    std::unordered_map<std::string, std::size_t> form_index;
    std::vector<const std::string*> forms;
    for (const SentenceInput& sentence : sentences) {
      for (const TokenInput& token : sentence.tokens) {
        if (is_marked(token) && form_index.emplace(token.text, forms.size()).second) {
          forms.push_back(&token.text);
        }
      }
    }
    std::vector<std::string> expansions(forms.size());
    detail::for_each_unit(forms.size(),
                          [&](std::size_t f) { expansions[f] = plan.expand(*forms[f]); });
    for (SentenceInput& sentence : sentences) {
      std::int32_t running = 0;
      for (TokenInput& token : sentence.tokens) {
        if (is_marked(token)) {
          running += expand_token(expansions[form_index.at(token.text)], token, running);
        } else if (token.manual_expansion == true) {
          running += shift_manual_token(token, running);
        } else {
          running += renumber_token(token, running);
        }
      }
    }
    Document result(storage);
    storage->replace(std::move(sentences));
    return result;
  });
}

} // namespace velmora
