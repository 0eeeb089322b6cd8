#include "document_dict.hpp"

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "convert.hpp"
#include "document/misc_spacing.hpp"

namespace velmora::python {
namespace {

// What a token hands to the entries of its words inside token and sentence
// lists: its entity tags (single-word tokens only) and the spacing that goes
// into the composed misc.
struct TokenContext {
  std::optional<std::string> ner;
  std::vector<std::string> multi_ner;
  std::string spaces_before;
  std::string spaces_after;
};

// One Python string per chain for a whole conversion. Every word of a
// mention carries its chain's representative text, so a string per
// attachment would grow with the mention's width times the text's length:
// with the square of the sentence for the wide mentions of long sentences.
// The chains are held, so that no address is reused while they are keys.
class ChainTexts {
public:
  nb::str text(const std::shared_ptr<const CorefChain>& chain) {
    const auto found = texts_.find(chain);
    if (found != texts_.end()) {
      return found->second;
    }
    nb::str text = to_str(chain->representative_text());
    texts_.emplace(chain, text);
    return text;
  }

private:
  std::unordered_map<std::shared_ptr<const CorefChain>, nb::str> texts_;
};

nb::dict attachment_entry(const CorefAttachment& attachment, ChainTexts& texts) {
  nb::dict entry;
  entry["index"] = nb::int_(attachment.chain()->index());
  entry["representative_text"] = texts.text(attachment.chain());
  if (attachment.is_start()) {
    entry["is_start"] = true;
  }
  if (attachment.is_end()) {
    entry["is_end"] = true;
  }
  if (attachment.is_representative()) {
    entry["is_representative"] = true;
  }
  return entry;
}

nb::list string_list(const std::vector<std::string>& items) {
  nb::list list;
  for (const std::string& item : items) {
    list.append(to_str(item));
  }
  return list;
}

nb::dict word_entry(const Word& word, const TokenContext* context, ChainTexts& texts) {
  nb::dict entry;
  const std::optional<std::int32_t> empty_index = word.empty_index();
  if (empty_index) {
    entry["id"] = nb::make_tuple(word.id(), *empty_index);
  } else {
    entry["id"] = nb::int_(word.id());
  }
  entry["text"] = to_str(word.text());
  set_if_present(entry, "lemma", word.lemma());
  set_if_present(entry, "upos", word.upos());
  set_if_present(entry, "xpos", word.xpos());
  set_if_present(entry, "feats", word.feats());
  set_if_present(entry, "head", word.head());
  set_if_present(entry, "deprel", word.deprel());
  set_if_present(entry, "deps", word.deps());
  const std::optional<std::string> misc = word.misc();
  set_if_present(entry, "misc", misc);
  set_if_present(entry, "start_char", word.start_char());
  set_if_present(entry, "end_char", word.end_char());
  set_if_present(entry, "manual_expansion", word.manual_expansion());
  if (context != nullptr) {
    set_if_present(entry, "ner", context->ner);
    if (!context->multi_ner.empty()) {
      entry["multi_ner"] = string_list(context->multi_ner);
    }
  }
  const std::vector<std::string> morphemes = word.morphemes();
  if (!morphemes.empty()) {
    entry["morphemes"] = string_list(morphemes);
  }
  const std::vector<CorefAttachment> attachments = word.coref_chains();
  if (!attachments.empty()) {
    nb::list chains;
    for (const CorefAttachment& attachment : attachments) {
      chains.append(attachment_entry(attachment, texts));
    }
    entry["coref_chains"] = chains;
  }
  if (context != nullptr) {
    // Replacing an existing key keeps its place; a new one goes last.
    set_if_present(entry, "misc",
                   detail::compose_misc(misc, context->spaces_before, context->spaces_after));
  }
  return entry;
}

nb::dict multi_word_token_entry(const Token& token) {
  nb::dict entry;
  const auto [first, last] = token.id_range();
  entry["id"] = nb::make_tuple(first, last);
  entry["text"] = to_str(token.text());
  set_if_present(entry, "misc",
                 detail::compose_misc(token.misc(), token.spaces_before(), token.spaces_after()));
  set_if_present(entry, "ner", token.ner());
  const std::vector<std::string> multi_ner = token.multi_ner();
  if (!multi_ner.empty()) {
    entry["multi_ner"] = string_list(multi_ner);
  }
  set_if_present(entry, "start_char", token.start_char());
  set_if_present(entry, "end_char", token.end_char());
  set_if_present(entry, "manual_expansion", token.manual_expansion());
  return entry;
}

void append_token_entries(const Token& token, nb::list& entries, ChainTexts& texts) {
  const auto [first, last] = token.id_range();
  TokenContext context;
  if (first != last) {
    entries.append(multi_word_token_entry(token));
    // The words of a multi-word token carry no spacing of their own.
    context.spaces_after = " ";
  } else {
    context.ner = token.ner();
    context.multi_ner = token.multi_ner();
    context.spaces_before = token.spaces_before();
    context.spaces_after = token.spaces_after();
  }
  const WordSequence words = token.words();
  for (std::uint64_t i = 0; i < words.size(); ++i) {
    entries.append(word_entry(words.at(static_cast<std::int64_t>(i)), &context, texts));
  }
}

nb::list sentence_entries(const Sentence& sentence, ChainTexts& texts) {
  nb::list entries;
  const WordSequence empty_words = sentence.empty_words();
  const TokenSequence tokens = sentence.tokens();
  std::uint64_t cursor = 0;
  // An empty word goes before the first token whose first id exceeds its id;
  // the cursor never moves back.
  for (std::uint64_t t = 0; t < tokens.size(); ++t) {
    const Token token = tokens.at(static_cast<std::int64_t>(t));
    const std::int32_t first = token.id_range().first;
    while (cursor < empty_words.size()) {
      const Word empty = empty_words.at(static_cast<std::int64_t>(cursor));
      if (empty.id() >= first) {
        break;
      }
      entries.append(word_entry(empty, nullptr, texts));
      ++cursor;
    }
    append_token_entries(token, entries, texts);
  }
  for (; cursor < empty_words.size(); ++cursor) {
    entries.append(word_entry(empty_words.at(static_cast<std::int64_t>(cursor)), nullptr, texts));
  }
  return entries;
}

} // namespace

nb::list document_to_dict(const Document& document) {
  ChainTexts texts;
  nb::list sentences;
  const SentenceSequence all = document.sentences();
  for (std::uint64_t i = 0; i < all.size(); ++i) {
    sentences.append(sentence_entries(all.at(static_cast<std::int64_t>(i)), texts));
  }
  return sentences;
}

nb::list sentence_to_dict(const Sentence& sentence) {
  ChainTexts texts;
  return sentence_entries(sentence, texts);
}

nb::list token_to_dict(const Token& token) {
  ChainTexts texts;
  nb::list entries;
  append_token_entries(token, entries, texts);
  return entries;
}

nb::dict word_to_dict(const Word& word) {
  ChainTexts texts;
  return word_entry(word, nullptr, texts);
}

nb::dict span_to_dict(const Span& span) {
  nb::dict entry;
  entry["text"] = to_str(span.text());
  entry["type"] = to_str(span.type());
  const std::optional<std::uint32_t> start = span.start_char();
  const std::optional<std::uint32_t> end = span.end_char();
  entry["start_char"] = start ? nb::object(nb::int_(*start)) : nb::none();
  entry["end_char"] = end ? nb::object(nb::int_(*end)) : nb::none();
  return entry;
}

nb::dict attachment_to_dict(const CorefAttachment& attachment) {
  ChainTexts texts;
  return attachment_entry(attachment, texts);
}

} // namespace velmora::python
