#pragma once

// Pieces shared by the three subword tokenizers: the token map and the layout
// of an encoding.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "velmora/bert_encoding.hpp"

namespace velmora::detail {

// Hashes strings and string views alike, so lookups of a candidate never
// build a string.
struct TransparentStringHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const noexcept {
    return std::hash<std::string_view>{}(text);
  }
};

using TokenIdMap =
    std::unordered_map<std::string, std::int64_t, TransparentStringHash, std::equal_to<>>;

inline const std::int64_t* find_token(const TokenIdMap& map, std::string_view token) {
  const auto found = map.find(token);
  return found == map.end() ? nullptr : &found->second;
}

// [cls] ids of word 0, ids of word 1, ... [sep], with word_ids -1 for the
// special positions and an all-ones mask. ids_of(word) gives one word's ids.
template <class IdsOf>
WordPieceEncoding encode_words(const std::vector<std::string>& words, bool add_special_tokens,
                               std::int64_t cls_id, std::int64_t sep_id, IdsOf&& ids_of) {
  WordPieceEncoding encoding;
  encoding.input_ids.reserve(words.size() * 2 + 2);
  encoding.word_ids.reserve(words.size() * 2 + 2);
  if (add_special_tokens) {
    encoding.input_ids.push_back(cls_id);
    encoding.word_ids.push_back(-1);
  }
  for (std::size_t w = 0; w < words.size(); ++w) {
    const std::vector<std::int64_t> ids = ids_of(words[w]);
    encoding.input_ids.insert(encoding.input_ids.end(), ids.begin(), ids.end());
    encoding.word_ids.insert(encoding.word_ids.end(), ids.size(), static_cast<std::int64_t>(w));
  }
  if (add_special_tokens) {
    encoding.input_ids.push_back(sep_id);
    encoding.word_ids.push_back(-1);
  }
  encoding.attention_mask.assign(encoding.input_ids.size(), 1);
  return encoding;
}

} // namespace velmora::detail
