#pragma once

// Shared helpers of the classifier tests: fixture paths, word and text lists
// from the fixtures' JSON, and the comparison with a reference that lets
// near-ties go either way.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <velmora/json.hpp>

#include "../taggers/tagger_test_support.hpp"

namespace velmora::test {

inline std::filesystem::path sentiment_fixture(const std::string& relative) {
  return fixture("sentiment/" + relative);
}

inline std::filesystem::path langid_fixture(const std::string& relative) {
  return fixture("langid/" + relative);
}

inline std::vector<std::vector<std::string>> json_string_lists(const detail::JsonValue& value) {
  std::vector<std::vector<std::string>> lists;
  for (const auto& item : value.as_array()) {
    lists.push_back(strings(item));
  }
  return lists;
}

inline std::vector<double> json_numbers(const detail::JsonValue& value) {
  std::vector<double> numbers;
  for (const auto& item : value.as_array()) {
    numbers.push_back(item.as_number());
  }
  return numbers;
}

// Compares answers with the reference's where its top-1 against top-2 score
// margin is at least `tolerance`: closer calls may go either way with
// rounding, but may make up at most 1% of the answers.
template <class Answer>
void expect_reference_answers(const std::vector<Answer>& got, const std::vector<Answer>& want,
                              const std::vector<double>& margins, double tolerance,
                              const std::string& label) {
  ASSERT_EQ(got.size(), want.size()) << label;
  ASSERT_EQ(margins.size(), want.size()) << label;
  std::size_t close_calls = 0;
  std::size_t failures = 0;
  for (std::size_t i = 0; i < got.size(); ++i) {
    if (margins[i] < tolerance) {
      ++close_calls;
    } else if (got[i] != want[i] && ++failures <= 5) {
      ADD_FAILURE() << label << " item " << i << ": got " << got[i] << ", want " << want[i]
                    << " (margin " << margins[i] << ")";
    }
  }
  EXPECT_EQ(failures, 0u) << label;
  EXPECT_LE(close_calls * 100, got.size()) << label << ": too many near-ties to be meaningful";
}

} // namespace velmora::test
