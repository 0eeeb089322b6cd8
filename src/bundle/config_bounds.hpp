#pragma once

// Bounds on the configuration integers that set how many times a loop of a
// call runs or how much one step of it allocates. A bundle may hold any
// value; no model converted from a real checkpoint comes near these bounds,
// and a value above one is refused at load instead of running without end.

#include <cstdint>
#include <string>
#include <string_view>

namespace velmora::detail {

// Decoder steps per word.
inline constexpr std::int64_t kMaxDecoderSteps = 10'000;
// Hypotheses a beam search keeps.
inline constexpr std::int64_t kMaxBeamSize = 1'000;
// Words, tokens, sentences, paragraphs or rows a batch holds.
inline constexpr std::int64_t kMaxBatchSize = 1'000'000;
// Characters, words or subwords the network reads as one window or filter.
inline constexpr std::int64_t kMaxWindow = 100'000;
// Values of one vector a network hands on (a transformer's hidden width).
inline constexpr std::int64_t kMaxWidth = 100'000;
// Characters of one word that a subword tokenizer still splits: its greedy
// search takes time cubic in them.
inline constexpr std::int64_t kMaxWordCharacters = 1'000;

// "<model> config '<key>' exceeds its bound of <bound>: <value>".
std::string config_bound_message(std::string_view model, std::string_view key, std::int64_t value,
                                 std::int64_t bound);

// Throws Error(config_bound_message(...)) when `value` is above `bound`.
template <class Error>
void require_config_bound(std::string_view model, std::string_view key, std::int64_t value,
                          std::int64_t bound) {
  if (value > bound) {
    throw Error(config_bound_message(model, key, value, bound));
  }
}

} // namespace velmora::detail
