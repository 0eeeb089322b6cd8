#pragma once

// Shared helpers of the tagger tests: fixture bundles, reference tags with
// their score margins, and documents built from word lists.

#include <string>
#include <vector>

#include <velmora/document.hpp>
#include <velmora/json.hpp>
#include <velmora/pos.hpp>

#include "tagger_test_support.hpp"

namespace velmora::test {

// A reference head decision is only compared when its smallest top-1 against
// top-2 score margin is above this: closer calls may flip with rounding.
constexpr double kMarginTolerance = 1e-4;

inline std::filesystem::path pos_fixture(const std::string& relative) {
  return fixture("pos/" + relative);
}

inline std::vector<std::vector<std::string>> json_sentences(const detail::JsonValue& value) {
  std::vector<std::vector<std::string>> sentences;
  for (const auto& sentence : value.as_array()) {
    std::vector<std::string>& words = sentences.emplace_back();
    for (const auto& word : sentence.as_array()) {
      words.push_back(word.as_string());
    }
  }
  return sentences;
}

// Reference tags of one model: per sentence, per word.
struct ReferenceTags {
  std::vector<std::vector<POSTags>> tags;
  std::vector<std::vector<double>> margins;
};

inline ReferenceTags reference_tags(const detail::JsonValue& model) {
  ReferenceTags result;
  for (const auto& sentence : model.at("tags").as_array()) {
    auto& tags = result.tags.emplace_back();
    for (const auto& word : sentence.as_array()) {
      const auto& fields = word.as_array();
      tags.push_back(
          {fields.at(0).as_string(), fields.at(1).as_string(), fields.at(2).as_string()});
    }
  }
  for (const auto& sentence : model.at("margins").as_array()) {
    auto& margins = result.margins.emplace_back();
    for (const auto& margin : sentence.as_array()) {
      margins.push_back(margin.as_number());
    }
  }
  return result;
}

// One document per group of `per_document` sentences, each word its own
// token.
inline std::vector<Document> make_documents(const std::vector<std::vector<std::string>>& sentences,
                                            std::size_t per_document) {
  return documents_of(sentences, per_document,
                      [](WordInput& word, const std::string& text) { word.text = text; });
}

// What process() or process_bulk() wrote into a word: "_" for no value.
inline POSTags written_tags(const Word& word) {
  return {word.upos().value_or("_"), word.xpos().value_or("_"), word.feats().value_or("_")};
}

} // namespace velmora::test
