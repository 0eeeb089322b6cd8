#pragma once

// Shared helpers of the constituency parser tests: fixture paths and the
// [word, upos, xpos] sentences the generator recorded.

#include <string>
#include <vector>

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

inline std::vector<TaggedSentence> tagged_sentences(const detail::JsonValue& value) {
  std::vector<TaggedSentence> sentences;
  for (const auto& sentence : value.as_array()) {
    TaggedSentence& tagged = sentences.emplace_back();
    for (const auto& word : sentence.as_array()) {
      const auto& fields = word.as_array();
      tagged.words.push_back(fields.at(0).as_string());
      tagged.upos.push_back(fields.at(1).as_string());
      tagged.xpos.push_back(fields.at(2).as_string());
    }
  }
  return sentences;
}

} // namespace velmora::test
