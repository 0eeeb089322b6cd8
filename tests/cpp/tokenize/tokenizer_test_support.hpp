#pragma once

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include <velmora/json.hpp>

#include "test_support.hpp"
#include "tokenize/char_units.hpp"

namespace velmora::test {

using tokenize_units = std::vector<detail::tokenize::CharUnit>;

inline std::filesystem::path tokenizer_bundle(const std::string& name) {
  return fixture("tokenizer/" + name);
}

// A copy of a tokenizer fixture bundle with edited files (test::edited_copy).
inline std::filesystem::path
edited_bundle(const TempDir& dir, const std::string& name,
              const std::vector<std::pair<std::string, std::string>>& edits,
              const std::string& file = "assets.json") {
  return edited_copy(dir, tokenizer_bundle(name), edits, file);
}

// The reference cases of a fixture bundle: {"text", "paragraphs": [{"labels",
// "features" or null}]}.
inline detail::JsonValue::Array reference_cases(const std::string& bundle) {
  return detail::load_json(tokenizer_bundle(bundle) / "reference.json").at("cases").as_array();
}

inline std::vector<std::int64_t> integers(const detail::JsonValue& array) {
  std::vector<std::int64_t> values;
  for (const detail::JsonValue& value : array.as_array()) {
    values.push_back(value.as_integer());
  }
  return values;
}

inline std::vector<float> floats(const detail::JsonValue& array) {
  std::vector<float> values;
  for (const detail::JsonValue& value : array.as_array()) {
    values.push_back(static_cast<float>(value.as_number()));
  }
  return values;
}

// Paragraph units of a plain text (no whitespace normalisation needed).
inline tokenize_units units_of(const std::string& text) {
  return detail::tokenize::make_char_units(text.data(), text.size());
}

} // namespace velmora::test
