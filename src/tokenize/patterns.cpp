#define PCRE2_CODE_UNIT_WIDTH 8
#include "tokenize/patterns.hpp"

#include <new>
#include <stdexcept>
#include <string>

#include <pcre2.h>

#include <velmora/errors.hpp>

namespace velmora::detail::tokenize {
namespace {

// Backtracking budget per start position (interpreter) or per call (JIT), far
// above what these patterns need on any text; the heap and depth limits bound
// the interpreter's frame memory.
constexpr std::uint32_t kMatchLimit = 10'000'000;
constexpr std::uint32_t kDepthLimit = 100'000;
constexpr std::uint32_t kHeapLimitKiB = 64 * 1024;
constexpr std::size_t kJitStackStart = 32 * 1024;
constexpr std::size_t kJitStackMax = 8 * 1024 * 1024;

// Byte-oriented, ASCII-only semantics as in an ECMAScript engine over char
// data: no UTF or Unicode properties, \x takes exactly two hex digits, $ never
// matches before a final newline.
constexpr std::uint32_t kCompileOptions =
    PCRE2_NEVER_UTF | PCRE2_NEVER_UCP | PCRE2_ALT_BSUX | PCRE2_DOLLAR_ENDONLY;

std::string pcre2_message(int code) {
  PCRE2_UCHAR buffer[256];
  if (pcre2_get_error_message(code, buffer, sizeof(buffer)) < 0) {
    return "PCRE2 error " + std::to_string(code);
  }
  return reinterpret_cast<const char*>(buffer);
}

// Match contexts and JIT stacks must not be shared between threads that match
// at the same time, so each thread keeps its own.
class MatchResources {
public:
  MatchResources() {
    context_ = pcre2_match_context_create(nullptr);
    data_ = pcre2_match_data_create(1, nullptr);
    if (context_ == nullptr || data_ == nullptr) {
      release();
      throw std::bad_alloc();
    }
    pcre2_set_match_limit(context_, kMatchLimit);
    pcre2_set_depth_limit(context_, kDepthLimit);
    pcre2_set_heap_limit(context_, kHeapLimitKiB);
    stack_ = pcre2_jit_stack_create(kJitStackStart, kJitStackMax, nullptr);
    if (stack_ != nullptr) {
      pcre2_jit_stack_assign(context_, nullptr, stack_);
    }
  }
  ~MatchResources() { release(); }
  MatchResources(const MatchResources&) = delete;
  MatchResources& operator=(const MatchResources&) = delete;

  pcre2_match_context* context() const { return context_; }
  pcre2_match_data* data() const { return data_; }

private:
  void release() {
    pcre2_match_data_free(data_);
    pcre2_jit_stack_free(stack_);
    pcre2_match_context_free(context_);
  }

  pcre2_match_context* context_ = nullptr;
  pcre2_match_data* data_ = nullptr;
  pcre2_jit_stack* stack_ = nullptr;
};

MatchResources& match_resources() {
  thread_local MatchResources resources;
  return resources;
}

[[noreturn]] void throw_match_error(int code) {
  switch (code) {
  case PCRE2_ERROR_MATCHLIMIT:
  case PCRE2_ERROR_DEPTHLIMIT:
  case PCRE2_ERROR_HEAPLIMIT:
  case PCRE2_ERROR_JIT_STACKLIMIT:
    throw TokenizerModelError("tokenizer pattern matching exceeded its limit");
  case PCRE2_ERROR_NOMEMORY:
    throw std::bad_alloc();
  default:
    throw std::runtime_error("tokenizer pattern matching failed: " + pcre2_message(code));
  }
}

} // namespace

Pattern::Pattern(std::string_view source) {
  int error = 0;
  PCRE2_SIZE error_offset = 0;
  code_ = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(source.data()), source.size(), kCompileOptions,
                        &error, &error_offset, nullptr);
  if (code_ == nullptr) {
    throw std::logic_error("tokenizer pattern does not compile: " + pcre2_message(error) +
                           " at offset " + std::to_string(error_offset));
  }
  // Without JIT support the interpreter gives the same matches, only slower.
  jit_ = pcre2_jit_compile(code_, PCRE2_JIT_COMPLETE) == 0;
}

Pattern::~Pattern() {
  pcre2_code_free(code_);
}

void Pattern::for_each_match(std::string_view subject, std::size_t begin, std::size_t end,
                             const std::function<void(std::size_t, std::size_t)>& on_match) const {
  const MatchResources& resources = match_resources();
  const auto* bytes = reinterpret_cast<PCRE2_SPTR>(subject.data());
  std::uint32_t options = 0;
  std::size_t offset = begin;
  while (offset <= end) {
    const int rc =
        pcre2_match(code_, bytes, end, offset, options, resources.data(), resources.context());
    if (rc == PCRE2_ERROR_NOMATCH) {
      return;
    }
    if (rc < 0) {
      throw_match_error(rc);
    }
    const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(resources.data());
    const std::size_t x = ovector[0];
    const std::size_t y = ovector[1];
    on_match(x, y);
    // As a regex iterator does: after an empty match the next one may start at
    // the same place only if it is not empty.
    options = x == y ? PCRE2_NOTEMPTY_ATSTART : 0;
    offset = y;
  }
}

const FeaturePatterns& feature_patterns() {
  static const FeaturePatterns patterns{
      Pattern(kLabeledFieldSource),
      Pattern(kPhoneIdSource),
      Pattern(kDatePatternSource),
      Pattern(kCurrencySource),
  };
  return patterns;
}

const Pattern& url_email_pattern() {
  static const Pattern pattern(kUrlEmailSource);
  return pattern;
}

namespace {

// For every byte of `text` and one past its end, the index of the unit the
// byte belongs to, the length of each unit taken from its lead byte alone.
std::vector<std::size_t> byte_unit_table(std::string_view text, std::size_t units) {
  const std::size_t size = text.size();
  std::vector<std::size_t> table(size + 1, units);
  std::size_t position = 0;
  for (std::size_t unit = 0; unit < units && position < size; ++unit) {
    const auto lead = static_cast<unsigned char>(text[position]);
    const std::size_t length = lead < 0x80             ? 1
                               : (lead & 0xE0) == 0xC0 ? 2
                               : (lead & 0xF0) == 0xE0 ? 3
                                                       : 4;
    for (std::size_t k = 0; k < length && position < size; ++k) {
      table[position++] = unit;
    }
  }
  return table;
}

} // namespace

void mark_pattern_matches(std::string_view text, const Pattern& pattern,
                          const std::vector<std::pair<std::size_t, std::size_t>>& pieces,
                          std::vector<float>& mask) {
  const std::vector<std::size_t> table = byte_unit_table(text, mask.size());
  const auto mark = [&](std::size_t x, std::size_t y) {
    for (std::size_t unit = table[x]; unit < table[y]; ++unit) {
      mask[unit] = 1.0F;
    }
  };
  for (const auto& [begin, end] : pieces) {
    pattern.for_each_match(text, begin, end, mark);
  }
}

void mark_pattern_matches(std::string_view text, const Pattern& pattern, std::vector<float>& mask) {
  mark_pattern_matches(text, pattern, {{0, text.size()}}, mask);
}

} // namespace velmora::detail::tokenize
