#pragma once

// Comparison of our encodings with the reference encodings of an independent
// implementation, word by word, with a report of every difference.

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <iomanip>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "subword_fixtures.hpp"

namespace velmora::test {

// Why the "ewt" tables were not generated (the treebank was absent when the
// fixtures were made), or nothing when they were: the tests of those tables
// follow the fixtures, not whether the treebank is there now.
inline std::optional<std::string> ewt_tables_skipped() {
  const std::filesystem::path marker = fixture("subword/ewt.skipped");
  if (!std::filesystem::exists(marker)) {
    return std::nullopt;
  }
  std::string reason = read_file(marker);
  while (!reason.empty() && reason.back() == '\n') {
    reason.pop_back();
  }
  return reason;
}

inline std::string show(const std::string& word) {
  std::ostringstream out;
  for (const char c : word) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x21 && byte < 0x7F) {
      out << c;
    } else {
      out << "\\x" << std::hex << std::setw(2) << std::setfill('0') << static_cast<int>(byte)
          << std::dec;
    }
  }
  return out.str();
}

inline std::string show(const std::vector<std::int64_t>& ids) {
  std::ostringstream out;
  out << '[';
  for (std::size_t i = 0; i < ids.size(); ++i) {
    out << (i ? " " : "") << ids[i];
  }
  out << ']';
  return out.str();
}

// A word on which we deliberately differ from the reference implementation,
// with our specified result.
struct NamedDeviation {
  std::string name;
  std::vector<std::int64_t> expected;
};

using Deviations = std::map<std::string, NamedDeviation>;

// Ids of tokens given by their text.
inline std::vector<std::int64_t> token_ids(const std::vector<std::string>& vocabulary,
                                           const std::vector<std::string>& tokens) {
  std::vector<std::int64_t> ids;
  for (const std::string& token : tokens) {
    const auto found = std::find(vocabulary.begin(), vocabulary.end(), token);
    EXPECT_NE(found, vocabulary.end()) << "token '" << token << "' is not in the vocabulary";
    ids.push_back(found - vocabulary.begin());
  }
  return ids;
}

// A deviation written as the tokens of our result.
struct TokenDeviation {
  std::string word;
  std::string name;
  std::vector<std::string> tokens;
};

// The deviations of `listed` whose word the table holds, their tokens looked
// up in `vocabulary`; a word that the table lacks may name tokens that a
// vocabulary trained without it lacks too.
inline Deviations deviations_in(const ReferenceTable& table,
                                const std::vector<std::string>& vocabulary,
                                const std::vector<TokenDeviation>& listed) {
  Deviations deviations;
  for (const TokenDeviation& deviation : listed) {
    if (std::find(table.words.begin(), table.words.end(), deviation.word) != table.words.end()) {
      deviations.emplace(deviation.word,
                         NamedDeviation{deviation.name, token_ids(vocabulary, deviation.tokens)});
    }
  }
  return deviations;
}

// Compares encode(word) with column `column` of the table for every word. A
// word named in `deviations` must give the result listed there instead; a
// word for which `other_column` names a column must equal that column (a
// reference configured to one of our deliberate rules). Prints and returns
// the number of words equal to column `column`.
inline std::size_t compare_with_reference(
    const std::string& label, const ReferenceTable& table, std::size_t column,
    const std::function<std::vector<std::int64_t>(const std::string&)>& encode,
    const Deviations& deviations = {},
    const std::function<std::optional<std::size_t>(const std::string&)>& other_column = {}) {
  std::size_t equal = 0;
  for (std::size_t i = 0; i < table.words.size(); ++i) {
    const std::string& word = table.words[i];
    const std::vector<std::int64_t> ours = encode(word);
    equal += ours == table.ids[i].at(column);
    const auto deviation = deviations.find(word);
    if (deviation != deviations.end()) {
      EXPECT_EQ(show(ours), show(deviation->second.expected))
          << label << ": " << deviation->second.name << " (word '" << show(word) << "')";
      continue;
    }
    const std::optional<std::size_t> other = other_column ? other_column(word) : std::nullopt;
    const std::size_t expected_column = other.value_or(column);
    EXPECT_EQ(show(ours), show(table.ids[i].at(expected_column)))
        << label << ": word '" << show(word) << "', reference "
        << table.columns.at(expected_column);
  }
  std::cout << "[" << label << "] " << equal << " of " << table.words.size()
            << " words equal the reference " << table.columns.at(column) << "\n";
  return equal;
}

} // namespace velmora::test
