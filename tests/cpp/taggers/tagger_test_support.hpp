#pragma once

// Helpers shared by the tests of the part-of-speech tagger and of the
// dependency parser: documents built from word records, and the run over a
// fixture's loading cases.

#include <filesystem>
#include <string>
#include <vector>

#include <velmora/document.hpp>
#include <velmora/json.hpp>
#include <velmora/model_bundle.hpp>

#include "test_support.hpp"

namespace velmora::test {

// A JSON array of strings.
inline std::vector<std::string> strings(const detail::JsonValue& value) {
  std::vector<std::string> result;
  for (const auto& item : value.as_array()) {
    result.push_back(item.as_string());
  }
  return result;
}

// One document per group of `per_document` sentences, each word its own
// token; `fill(word, record)` sets the word's text and annotations.
template <class Record, class Fill>
std::vector<Document> documents_of(const std::vector<std::vector<Record>>& sentences,
                                   std::size_t per_document, Fill fill) {
  std::vector<Document> documents;
  for (std::size_t first = 0; first < sentences.size(); first += per_document) {
    std::vector<SentenceInput> inputs;
    for (std::size_t s = first; s < std::min(sentences.size(), first + per_document); ++s) {
      SentenceInput& sentence = inputs.emplace_back();
      std::int32_t id = 1;
      for (const Record& record : sentences[s]) {
        TokenInput& token = sentence.tokens.emplace_back();
        WordInput& word = token.words.emplace_back();
        fill(word, record);
        token.first_id = token.last_id = word.id = id++;
        token.text = word.text;
      }
    }
    documents.emplace_back(std::string(), std::move(inputs));
  }
  return documents;
}

// Loads every bundle listed in <directory>/cases.json, whose entries
// {"name", "error", "message"} say how the bundle <directory>/cases/<name>
// must fare: "none" loads (checksums verified), `error_name` fails with
// `Error` and exactly the message, and `error_name` + "-json" with `Error`
// and the JSON reader's own message for the bundle's assets.
template <class Plan, class Error>
void expect_load_cases(const std::filesystem::path& directory, const std::string& error_name,
                       std::size_t at_least) {
  const detail::JsonValue cases = detail::load_json(directory / "cases.json");
  ASSERT_GE(cases.as_array().size(), at_least);
  for (const auto& entry : cases.as_array()) {
    const std::string name = entry.at("name").as_string();
    const std::string error = entry.at("error").as_string();
    std::string message = entry.at("message").as_string();
    const auto path = directory / "cases" / name;
    SCOPED_TRACE(name);
    if (error == "none") {
      EXPECT_NO_THROW(Plan(path, true));
      continue;
    }
    if (error == error_name + "-json") {
      try {
        detail::parse_json(ModelBundle(path, false).assets_json());
        ADD_FAILURE() << "the assets parse";
        continue;
      } catch (const detail::JsonError& json) {
        message = json.what();
      }
    } else {
      ASSERT_EQ(error, error_name);
    }
    try {
      Plan plan(path, false);
      ADD_FAILURE() << "loaded";
    } catch (const Error& failure) {
      EXPECT_EQ(failure.what(), message);
    }
  }
}

// A directory that is no bundle fails with the bundle reader's own error,
// not with the plan's.
template <class Plan, class Error>
void expect_bundle_error_passes(const std::filesystem::path& path) {
  try {
    Plan plan(path, false);
    ADD_FAILURE() << "loaded";
  } catch (const Error&) {
    ADD_FAILURE() << "a bundle error became the plan's own error";
  } catch (const ModelBundleError&) {
  }
}

} // namespace velmora::test
