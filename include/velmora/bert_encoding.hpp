#pragma once

#include <cstdint>
#include <vector>

namespace velmora {

// Subword encoding of a list of words, the result of every subword tokenizer.
// The three vectors have one entry per subword.
struct WordPieceEncoding {
  std::vector<std::int64_t> input_ids;
  // 1 for every subword: no padding is ever produced.
  std::vector<std::int64_t> attention_mask;
  // Index of the word each subword came from, -1 for a special token; never
  // decreasing within one encoding.
  std::vector<std::int64_t> word_ids;
};

} // namespace velmora
