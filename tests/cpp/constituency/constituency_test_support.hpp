#pragma once

// Shared helpers of the constituency parser tests: fixture paths and the
// [word, upos, xpos] sentences the generator recorded.

#include <string>
#include <vector>

#include <velmora/document.hpp>
#include <velmora/json.hpp>

#include "../taggers/tagger_test_support.hpp"

namespace velmora::test {

inline std::filesystem::path constituency_fixture(const std::string& relative) {
  return fixture("constituency/" + relative);
}

struct TaggedSentence {
  std::vector<std::string> words;
  std::vector<std::string> upos;
  std::vector<std::string> xpos;

  const std::vector<std::string>& tags(bool xpos_tags) const { return xpos_tags ? xpos : upos; }
};

inline TaggedSentence tagged_sentence(const detail::JsonValue& sentence) {
  TaggedSentence tagged;
  for (const auto& word : sentence.as_array()) {
    const auto& fields = word.as_array();
    tagged.words.push_back(fields.at(0).as_string());
    tagged.upos.push_back(fields.at(1).as_string());
    tagged.xpos.push_back(fields.at(2).as_string());
  }
  return tagged;
}

inline std::vector<TaggedSentence> tagged_sentences(const detail::JsonValue& value) {
  std::vector<TaggedSentence> sentences;
  for (const auto& sentence : value.as_array()) {
    sentences.push_back(tagged_sentence(sentence));
  }
  return sentences;
}

// One document per group of `per_document` sentences, each regular word its
// own token carrying both tags, with the sentences' empty words
// ([id before, index, form, upos, xpos]) after them.
inline std::vector<Document> tagged_documents(const std::vector<TaggedSentence>& sentences,
                                              const detail::JsonValue& empty,
                                              std::size_t per_document) {
  std::vector<Document> documents;
  for (std::size_t first = 0; first < sentences.size(); first += per_document) {
    std::vector<SentenceInput> inputs;
    for (std::size_t s = first; s < std::min(sentences.size(), first + per_document); ++s) {
      SentenceInput& sentence = inputs.emplace_back();
      for (std::size_t w = 0; w < sentences[s].words.size(); ++w) {
        TokenInput& token = sentence.tokens.emplace_back();
        WordInput& word = token.words.emplace_back();
        token.first_id = token.last_id = word.id = static_cast<std::int32_t>(w + 1);
        token.text = word.text = sentences[s].words[w];
        word.upos = sentences[s].upos[w];
        word.xpos = sentences[s].xpos[w];
      }
      for (const auto& node : empty.as_array().at(s).as_array()) {
        const auto& f = node.as_array();
        WordInput& word = sentence.empty_words.emplace_back();
        word.id = static_cast<std::int32_t>(f.at(0).as_integer());
        word.empty_index = static_cast<std::int32_t>(f.at(1).as_integer());
        word.text = f.at(2).as_string();
        word.upos = f.at(3).as_string();
        word.xpos = f.at(4).as_string();
      }
    }
    documents.emplace_back(std::string(), std::move(inputs));
  }
  return documents;
}

} // namespace velmora::test
