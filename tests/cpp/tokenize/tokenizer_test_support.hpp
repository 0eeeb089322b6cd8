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

// A copy of a fixture bundle in `dir` whose assets text (or the text of
// another of its files) has each `from` replaced by its `to` (each must
// occur). Checksums are not verified by the tests, so the edited files load
// as they are.
inline std::filesystem::path
edited_bundle(const TempDir& dir, const std::string& name,
              const std::vector<std::pair<std::string, std::string>>& edits,
              const std::string& file = "assets.json") {
  std::string flat = name;
  std::replace(flat.begin(), flat.end(), '/', '_');
  const std::filesystem::path target = dir.path() / flat;
  std::filesystem::remove_all(target);
  std::filesystem::copy(tokenizer_bundle(name), target, std::filesystem::copy_options::recursive);
  std::string text = read_file(target / file);
  for (const auto& [from, to] : edits) {
    const std::size_t at = text.find(from);
    if (at == std::string::npos) {
      ADD_FAILURE() << file << " of " << name << " lacks: " << from;
      continue;
    }
    text.replace(at, from.size(), to);
  }
  std::filesystem::remove(target / file);
  std::ofstream(target / file, std::ios::binary) << text;
  return target;
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
