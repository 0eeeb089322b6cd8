#include <algorithm>
#include <iterator>

#include "document/unicode_case_tables.hpp"
#include "velmora/text.hpp"

namespace velmora::detail {
namespace {

using case_tables::CaseExpansion;
using case_tables::CasePair;
using case_tables::CodepointRange;

const CasePair* find_pair(std::span<const CasePair> table, std::uint32_t codepoint) {
  const auto it =
      std::lower_bound(table.begin(), table.end(), codepoint,
                       [](const CasePair& pair, std::uint32_t value) { return pair.from < value; });
  return it != table.end() && it->from == codepoint ? &*it : nullptr;
}

const CaseExpansion* find_expansion(std::uint32_t codepoint) {
  const auto table = case_tables::uppercase_expansions;
  const auto it = std::lower_bound(
      table.begin(), table.end(), codepoint,
      [](const CaseExpansion& entry, std::uint32_t value) { return entry.codepoint < value; });
  return it != table.end() && it->codepoint == codepoint ? &*it : nullptr;
}

bool in_ranges(std::span<const CodepointRange> table, std::uint32_t codepoint) {
  const auto it = std::upper_bound(
      table.begin(), table.end(), codepoint,
      [](std::uint32_t value, const CodepointRange& range) { return value < range.first; });
  return it != table.begin() && std::prev(it)->last >= codepoint;
}

// True when the text holds a cased code point and every cased code point lies
// in `ranges`.
bool all_cased_in(std::string_view text, std::span<const CodepointRange> ranges) {
  bool result = false;
  for (const std::uint32_t codepoint : decode_utf8(text.data(), text.size())) {
    if (!in_ranges(case_tables::cased_ranges, codepoint)) {
      continue;
    }
    if (!in_ranges(ranges, codepoint)) {
      return false;
    }
    result = true;
  }
  return result;
}

} // namespace

std::string unicode_lower(std::string_view text) {
  const std::vector<std::uint32_t> codepoints = decode_utf8(text.data(), text.size());
  std::string out;
  out.reserve(text.size());
  for (const std::uint32_t codepoint : codepoints) {
    if (const CasePair* pair = find_pair(case_tables::lowercase_pairs, codepoint)) {
      append_utf8(pair->to, out);
    } else if (codepoint == 0x130) {
      // The only unconditional lowercase mapping to more than one code point.
      append_utf8(0x69, out);
      append_utf8(0x307, out);
    } else {
      append_utf8(codepoint, out);
    }
  }
  return out;
}

std::string unicode_upper(std::string_view text) {
  const std::vector<std::uint32_t> codepoints = decode_utf8(text.data(), text.size());
  std::string out;
  out.reserve(text.size());
  for (const std::uint32_t codepoint : codepoints) {
    if (const CasePair* pair = find_pair(case_tables::uppercase_pairs, codepoint)) {
      append_utf8(pair->to, out);
    } else if (const CaseExpansion* expansion = find_expansion(codepoint)) {
      for (std::uint32_t k = 0; k < expansion->count; ++k) {
        append_utf8(expansion->mapping[k], out);
      }
    } else {
      append_utf8(codepoint, out);
    }
  }
  return out;
}

bool unicode_is_lower(std::string_view text) {
  return all_cased_in(text, case_tables::lowercase_ranges);
}

bool unicode_is_upper(std::string_view text) {
  return all_cased_in(text, case_tables::uppercase_ranges);
}

} // namespace velmora::detail
