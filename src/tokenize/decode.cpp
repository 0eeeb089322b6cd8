#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include <velmora/text.hpp>

#include "encoders/model_call.hpp"
#include "tokenize/tokenizer_impl.hpp"

namespace velmora {
namespace {

constexpr std::uint32_t kSpace = 0x20;

// Languages written without spaces between words keep none inside a token.
bool drops_inner_spaces(const std::string& lang) {
  if (lang.size() < 2) {
    return false;
  }
  const std::string_view prefix(lang.data(), 2);
  return prefix == "zh" || prefix == "ja" || prefix == "ko";
}

TokenInput make_token(std::int32_t id, std::string text, std::int64_t label, std::uint32_t start,
                      std::uint32_t end) {
  std::optional<std::string> misc;
  if (label == 3 || label == 4) {
    misc = "MWT=Yes";
  }
  WordInput word;
  word.id = id;
  word.text = text;
  word.misc = misc;
  word.start_char = start;
  word.end_char = end;

  TokenInput token;
  token.first_id = id;
  token.last_id = id;
  token.text = std::move(text);
  token.misc = std::move(misc);
  token.start_char = start;
  token.end_char = end;
  token.words.push_back(std::move(word));
  return token;
}

// Whitespace around the tokens comes from the text itself: before the first
// token, and after every token up to the next one (or the end of the text).
void fill_spaces(const std::string& text, std::vector<SentenceInput>& sentences) {
  const Utf8Text source(text);
  TokenInput* previous = nullptr;
  for (SentenceInput& sentence : sentences) {
    for (TokenInput& token : sentence.tokens) {
      if (previous == nullptr) {
        token.spaces_before = source.slice(0, *token.start_char);
      } else {
        previous->spaces_after = source.slice(*previous->end_char, *token.start_char);
      }
      previous = &token;
    }
  }
  if (previous != nullptr) {
    previous->spaces_after = source.slice(*previous->end_char, source.codepoint_count());
  }
}

} // namespace

Document TokenizerPlan::Impl::decode_labels(const Document& source,
                                            const std::vector<Paragraph>& paragraphs,
                                            const std::vector<TokenizerLabels>& labels) const {
  if (paragraphs.size() != labels.size()) {
    throw TokenizerModelError("tokenizer paragraph and prediction counts disagree");
  }
  const bool colon_ends_sentence = shorthand == "la_ittb";
  const bool no_inner_spaces = drops_inner_spaces(lang);

  std::vector<SentenceInput> sentences;
  for (std::size_t p = 0; p < paragraphs.size(); ++p) {
    const Paragraph& units = paragraphs[p];
    const TokenizerLabels& paragraph_labels = labels[p];
    SentenceInput sentence;
    std::int32_t counter = 1;
    std::string pending;
    std::size_t pending_start = 0;
    for (std::size_t j = 0; j < units.size(); ++j) {
      if (pending.empty()) {
        pending_start = j;
      }
      pending += units[j].text;
      std::int64_t label = paragraph_labels.at(j);
      if (colon_ends_sentence && (units[j].codepoint == ':' || units[j].codepoint == ';')) {
        label = 2;
      }
      if (label < 1) {
        continue;
      }
      std::size_t first = pending_start;
      while (first <= j && units[first].codepoint == kSpace) {
        ++first;
      }
      if (first > j) {
        pending.clear();
        continue;
      }
      std::size_t last = j;
      while (units[last].codepoint == kSpace) {
        --last;
      }
      const std::uint32_t start = units[first].char_index;
      const std::uint32_t end = units[last].char_index + 1;

      std::string text = pending.substr(pending.find_first_not_of(' '));
      if (no_inner_spaces) {
        std::erase(text, ' ');
      }
      if (j - first >= detail::kTokenizerWindow) {
        text = "<UNK>";
      }
      if (!text.empty()) {
        sentence.tokens.push_back(make_token(counter, std::move(text), label, start, end));
        ++counter;
      }
      pending.clear();
      if ((label == 2 || label == 4) && !sentence.tokens.empty()) {
        sentences.push_back(std::move(sentence));
        sentence = SentenceInput();
        counter = 1;
      }
    }
    if (!pending.empty()) {
      throw TokenizerModelError("tokenizer prediction left an unfinished token");
    }
    if (!sentence.tokens.empty()) {
      sentences.push_back(std::move(sentence));
    }
  }

  const std::string& text = source.text();
  fill_spaces(text, sentences);
  Document document(text, std::move(sentences));
  document.set_lang(bundle->language());
  return document;
}

Document TokenizerPlan::process(const Document& document) const {
  return detail::model_call<TokenizerModelError>([&] {
    const std::string& text = document.text();
    const std::vector<Impl::Paragraph> paragraphs =
        detail::tokenize::split_paragraphs(text.data(), text.size(), impl_->skip_newline);
    // Paragraphs are independent: each is one unit of the team.
    std::vector<TokenizerLabels> labels(paragraphs.size());
    detail::for_each_unit(paragraphs.size(), [&](std::size_t p) {
      labels[p] = impl_->predict_paragraph(paragraphs[p]);
    });
    return impl_->decode_labels(document, paragraphs, labels);
  });
}

std::vector<std::int64_t> TokenizerPlan::predict_labels(const std::string& text) const {
  return detail::model_call<TokenizerModelError>([&] {
    const std::vector<Impl::Paragraph> paragraphs =
        detail::tokenize::split_paragraphs(text.data(), text.size(), impl_->skip_newline);
    if (paragraphs.size() >= 2) {
      throw TokenizerModelError("predict_labels expects text containing one tokenizer paragraph");
    }
    if (paragraphs.empty()) {
      return std::vector<std::int64_t>{};
    }
    return impl_->predict_paragraph(paragraphs.front());
  });
}

} // namespace velmora
