#pragma once

// Shared helpers of the entity tagger tests: fixture bundles, reference tags
// with their path margins, and documents of tokens (a multi-word token keeps
// its words).

#include <string>
#include <vector>

#include <velmora/document.hpp>
#include <velmora/json.hpp>
#include <velmora/ner.hpp>

#include "tagger_test_support.hpp"

namespace velmora::test {

// A reference path is only compared when its score beats the second-best
// path by more than this: closer calls may flip with rounding.
constexpr double kPathMarginTolerance = 1e-4;

inline std::filesystem::path ner_fixture(const std::string& relative) {
  return fixture("ner/" + relative);
}

// A token: its surface text, then the words of a multi-word token.
using TokenWords = std::vector<std::string>;

// One document per group of sentences; each sentence a list of tokens.
inline Document document_of(const std::vector<std::vector<TokenWords>>& sentences) {
  std::vector<SentenceInput> inputs;
  for (const auto& tokens : sentences) {
    SentenceInput& sentence = inputs.emplace_back();
    std::int32_t id = 1;
    for (const TokenWords& surface_and_words : tokens) {
      TokenInput& token = sentence.tokens.emplace_back();
      token.text = surface_and_words.at(0);
      token.first_id = id;
      const std::size_t first_word = surface_and_words.size() > 1 ? 1 : 0;
      for (std::size_t w = first_word; w < surface_and_words.size(); ++w) {
        WordInput& word = token.words.emplace_back();
        word.id = id++;
        word.text = surface_and_words[w];
      }
      token.last_id = id - 1;
    }
  }
  return Document(std::string(), std::move(inputs));
}

// The tags process() wrote into every token, sentence by sentence.
inline std::vector<std::vector<std::string>> written_tags(const Document& document) {
  std::vector<std::vector<std::string>> tags;
  const SentenceSequence sentences = document.sentences();
  for (std::uint64_t s = 0; s < sentences.size(); ++s) {
    const TokenSequence tokens = sentences.at(static_cast<std::int64_t>(s)).tokens();
    auto& sentence = tags.emplace_back();
    for (std::uint64_t t = 0; t < tokens.size(); ++t) {
      const Token token = tokens.at(static_cast<std::int64_t>(t));
      sentence.push_back(token.ner().value_or("<absent>"));
      EXPECT_EQ(token.multi_ner(), std::vector<std::string>{sentence.back()});
    }
  }
  return tags;
}

// Whether every begin and inside tag is continued by an inside or end tag of
// its type, and every inside and end tag continues a begin or inside tag.
inline bool well_formed_bioes(const std::vector<std::string>& tags) {
  const auto prefix = [](const std::string& tag) {
    return tag.size() >= 2 && tag[1] == '-' ? tag[0] : '\0';
  };
  for (std::size_t i = 0; i < tags.size(); ++i) {
    const char p = prefix(tags[i]);
    const std::string type = p != '\0' ? tags[i].substr(2) : "";
    const bool opens = p == 'B' || p == 'I';
    const bool closes = p == 'I' || p == 'E';
    if (opens &&
        (i + 1 == tags.size() || (prefix(tags[i + 1]) != 'I' && prefix(tags[i + 1]) != 'E') ||
         tags[i + 1].substr(2) != type)) {
      return false;
    }
    if (closes && (i == 0 || (prefix(tags[i - 1]) != 'B' && prefix(tags[i - 1]) != 'I') ||
                   tags[i - 1].substr(2) != type)) {
      return false;
    }
  }
  return true;
}

} // namespace velmora::test
