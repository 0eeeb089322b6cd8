#pragma once

#include <string>
#include <utility>
#include <vector>

#include <velmora/document.hpp>

namespace velmora::test {

inline WordInput make_word(int id, std::string text) {
  WordInput word;
  word.id = id;
  word.text = std::move(text);
  return word;
}

inline WordInput make_empty_word(int id, int empty_index, std::string text) {
  WordInput word = make_word(id, std::move(text));
  word.empty_index = empty_index;
  return word;
}

// A single-word token with the given id.
inline TokenInput make_token(int id, std::string text) {
  TokenInput token;
  token.first_id = id;
  token.last_id = id;
  token.text = text;
  token.words.push_back(make_word(id, std::move(text)));
  return token;
}

// A sentence of single-word tokens numbered from 1.
inline SentenceInput make_sentence(const std::vector<std::string>& forms) {
  SentenceInput sentence;
  int id = 1;
  for (const std::string& form : forms) {
    sentence.tokens.push_back(make_token(id++, form));
  }
  return sentence;
}

inline std::vector<int> word_ids(const WordSequence& words) {
  std::vector<int> ids;
  for (std::uint64_t i = 0; i < words.size(); ++i) {
    ids.push_back(words.at(static_cast<std::int64_t>(i)).id());
  }
  return ids;
}

inline std::vector<std::uint32_t> word_rows(const WordSequence& words) {
  std::vector<std::uint32_t> rows;
  for (std::uint64_t i = 0; i < words.size(); ++i) {
    rows.push_back(words.at(static_cast<std::int64_t>(i)).index());
  }
  return rows;
}

// Expects `statement` to throw `type` with exactly `message`.
#define EXPECT_THROW_MESSAGE(statement, type, message)                                             \
  EXPECT_THROW(                                                                                    \
      {                                                                                            \
        try {                                                                                      \
          statement;                                                                               \
        } catch (const type& error) {                                                              \
          EXPECT_STREQ(error.what(), message);                                                     \
          throw;                                                                                   \
        }                                                                                          \
      },                                                                                           \
      type)

} // namespace velmora::test
