#pragma once

// The tokenizer's regular expressions: the four feature patterns and the
// web/e-mail address guard. They run on PCRE2 over raw UTF-8 bytes, with the
// ECMAScript reading of these patterns: ASCII-only classes, word boundaries and
// \s, case-sensitive, leftmost match with ordered alternation. Matching is
// iterative (heap frames or JIT), so long inputs never exhaust the stack, and
// explicit limits turn runaway backtracking into TokenizerModelError
// "tokenizer pattern matching exceeded its limit".

#include <cstddef>
#include <functional>
#include <string_view>
#include <utility>
#include <vector>

struct pcre2_real_code_8;

namespace velmora::detail::tokenize {

class Pattern {
public:
  // Compiles once; a pattern that does not compile throws std::logic_error.
  explicit Pattern(std::string_view source);
  ~Pattern();
  Pattern(const Pattern&) = delete;
  Pattern& operator=(const Pattern&) = delete;

  // Calls `on_match(x, y)` for every successive non-overlapping match inside
  // bytes [begin, end) of `subject`; the engine sees nothing at or after
  // `end`, but look-behind and \b see the bytes before `begin`.
  void for_each_match(std::string_view subject, std::size_t begin, std::size_t end,
                      const std::function<void(std::size_t, std::size_t)>& on_match) const;

  bool jit_compiled() const noexcept { return jit_; }

private:
  pcre2_real_code_8* code_ = nullptr;
  bool jit_ = false;
};

// The pattern texts, byte for byte.
inline constexpr std::string_view kLabeledFieldSource =
    R"(\b[A-Z][a-zA-Z]*(?:\s[A-Z][a-zA-Z]*){0,2}\s*:)";
inline constexpr std::string_view kPhoneIdSource =
    R"((?:\([0-9]{3}\)\s?[0-9]{3}-[0-9]{4})|(?:\b[0-9]{3}-[0-9]{3}-[0-9]{4}\b)|)"
    R"((?:\bx[0-9]{3,5}\b))";
inline constexpr std::string_view kDatePatternSource =
    R"((?:\b[0-9]{1,2}/[0-9]{1,2}/[0-9]{2,4}\b)|(?:\b(?:January|February|March|)"
    R"(April|May|June|July|August|September|October|November|December)\s+)"
    R"([0-9]{1,2},?\s+[0-9]{4}\b))";
inline constexpr std::string_view kCurrencySource = R"(\$\s?[0-9][0-9,]*(?:\.[0-9]+)?)";
inline constexpr std::string_view kUrlEmailSource =
    R"re((?:(?:[a-z0-9!#$%&'*+/=?^_`{|}~-]+(?:\.[a-z0-9!#$%&'*+/=?^_`{|}~-]+)*|")re"
    R"re((?:[\x01-\x08\x0b\x0c\x0e-\x1f\x21\x23-\x5b\x5d-\x7f]|)re"
    R"re(\\[\x01-\x09\x0b\x0c\x0e-\x7f])*")re"
    R"re()@(?:(?:[a-z0-9](?:[a-z0-9-]*[a-z0-9])?\.)+[a-z0-9](?:[a-z0-9-]*[a-z0-9])?|)re"
    R"re(\[(?:(?:(?:2(?:5[0-5]|[0-4][0-9])|1[0-9][0-9]|[1-9]?[0-9]))\.){3}(?:(?:2(?:5[0-5]|)re"
    R"re([0-4][0-9])|1[0-9][0-9]|[1-9]?[0-9])|[a-z0-9-]*[a-z0-9]:(?:[\x01-\x08\x0b\x0c\x0e-)re"
    R"re(\x1f\x21-\x5a\x53-\x7f]|\\[\x01-\x09\x0b\x0c\x0e-\x7f])+)\]))|(?:(?:https?:\/\/)re"
    R"re((?:www\.|(?!www))[a-zA-Z0-9][a-zA-Z0-9-]+[a-zA-Z0-9]\.[^\s"]{2,}|www\.[a-zA-Z0-9])re"
    R"re([a-zA-Z0-9-]+[a-zA-Z0-9]\.[^\s"]{2,}|https?:\/\/(?:www\.|(?!www))[a-zA-Z0-9]+\.)re"
    R"re([^\s"]{2,}|www\.[a-zA-Z0-9]+\.[^\s"]{2,})|[a-zA-Z0-9]+\.(?:gov|org|edu|net|com|co))re"
    R"re((?:\.[^\s"]{2,})))re";

struct FeaturePatterns {
  Pattern labeled_field;
  Pattern phone_id;
  Pattern date_pattern;
  Pattern currency;
};

// All four are built together on first use and live until exit.
const FeaturePatterns& feature_patterns();
const Pattern& url_email_pattern();

// Sets mask[i] = 1 for every unit i covered by a match of `pattern` in `text`,
// the joined texts of the mask's units.
void mark_pattern_matches(std::string_view text, const Pattern& pattern, std::vector<float>& mask);

// The same, searching only inside the byte ranges `pieces` (ascending, not
// overlapping), for callers that know no match crosses a piece's ends.
void mark_pattern_matches(std::string_view text, const Pattern& pattern,
                          const std::vector<std::pair<std::size_t, std::size_t>>& pieces,
                          std::vector<float>& mask);

} // namespace velmora::detail::tokenize
