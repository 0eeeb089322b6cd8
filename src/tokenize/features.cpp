#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include <velmora/text.hpp>

#include "tokenize/patterns.hpp"
#include "tokenize/tokenizer_impl.hpp"

namespace velmora {
namespace {

using detail::tokenize::CharUnit;
using detail::tokenize::Pattern;

// The decimal digits (general category Nd) of Unicode 15, ten per range but
// for the mathematical digits. The common ranges come first.
constexpr std::array<std::pair<std::uint32_t, std::uint32_t>, 64> kDecimalDigits{{
    {0x0030, 0x0039},   {0x0660, 0x0669},   {0x06F0, 0x06F9},   {0x07C0, 0x07C9},
    {0x0966, 0x096F},   {0x09E6, 0x09EF},   {0x0A66, 0x0A6F},   {0x0AE6, 0x0AEF},
    {0x0B66, 0x0B6F},   {0x0BE6, 0x0BEF},   {0x0C66, 0x0C6F},   {0x0CE6, 0x0CEF},
    {0x0D66, 0x0D6F},   {0x0DE6, 0x0DEF},   {0x0E50, 0x0E59},   {0x0ED0, 0x0ED9},
    {0x0F20, 0x0F29},   {0x1040, 0x1049},   {0x1090, 0x1099},   {0x17E0, 0x17E9},
    {0x1810, 0x1819},   {0x1946, 0x194F},   {0x19D0, 0x19D9},   {0x1A80, 0x1A89},
    {0x1A90, 0x1A99},   {0x1B50, 0x1B59},   {0x1BB0, 0x1BB9},   {0x1C40, 0x1C49},
    {0x1C50, 0x1C59},   {0xA620, 0xA629},   {0xA8D0, 0xA8D9},   {0xA900, 0xA909},
    {0xA9D0, 0xA9D9},   {0xA9F0, 0xA9F9},   {0xAA50, 0xAA59},   {0xABF0, 0xABF9},
    {0xFF10, 0xFF19},   {0x104A0, 0x104A9}, {0x10D30, 0x10D39}, {0x11066, 0x1106F},
    {0x110F0, 0x110F9}, {0x11136, 0x1113F}, {0x111D0, 0x111D9}, {0x112F0, 0x112F9},
    {0x11450, 0x11459}, {0x114D0, 0x114D9}, {0x11650, 0x11659}, {0x116C0, 0x116C9},
    {0x11730, 0x11739}, {0x118E0, 0x118E9}, {0x11950, 0x11959}, {0x11C50, 0x11C59},
    {0x11D50, 0x11D59}, {0x11DA0, 0x11DA9}, {0x11F50, 0x11F59}, {0x16A60, 0x16A69},
    {0x16AC0, 0x16AC9}, {0x16B50, 0x16B59}, {0x1D7CE, 0x1D7FF}, {0x1E140, 0x1E149},
    {0x1E2F0, 0x1E2F9}, {0x1E4F0, 0x1E4F9}, {0x1E950, 0x1E959}, {0x1FBF0, 0x1FBF9},
}};

bool is_decimal_digit(std::uint32_t codepoint) {
  return std::any_of(kDecimalDigits.begin(), kDecimalDigits.end(), [&](const auto& range) {
    return codepoint >= range.first && codepoint <= range.second;
  });
}

enum class SimpleFeature { SpaceBefore, Capitalized, Numeric };

float simple_feature(SimpleFeature feature, const CharUnit& unit) {
  switch (feature) {
  case SimpleFeature::SpaceBefore:
    return unit.codepoint == 0x20 ? 1.0F : 0.0F;
  case SimpleFeature::Capitalized:
    return detail::unicode_is_upper(unit.text) ? 1.0F : 0.0F;
  case SimpleFeature::Numeric:
    return is_decimal_digit(unit.codepoint) ? 1.0F : 0.0F;
  }
  return 0.0F;
}

bool contains(const std::vector<std::string>& names, std::string_view name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

// Lexicon hits of the words that start (forward) or end (backward) at unit i
// and span 2 .. window + 1 units; the unit's own text is taken as it stands,
// the units added to it lower-cased.
void dictionary_features(const TokenizerPlan::Impl& impl,
                         const TokenizerPlan::Impl::Paragraph& units, std::size_t i, float* row) {
  const auto window = static_cast<std::size_t>(impl.num_dict_feat);
  const std::size_t n = units.size();
  std::string forward = units[i].text;
  std::string backward = units[i].text;
  bool forward_open = true;
  bool backward_open = true;
  for (std::size_t k = 0; k < window && (forward_open || backward_open); ++k) {
    if (i + k + 1 < n && forward_open) {
      forward += detail::unicode_lower(units[i + k + 1].text);
      row[k] = impl.lexicon.contains(forward) ? 1.0F : 0.0F;
      forward_open = impl.lexicon_prefixes.contains(forward);
    }
    if (k + 1 <= i && backward_open) {
      backward.insert(0, detail::unicode_lower(units[i - k - 1].text));
      row[window + k] = impl.lexicon.contains(backward) ? 1.0F : 0.0F;
      backward_open = impl.lexicon_suffixes.contains(backward);
    }
  }
}

} // namespace

std::vector<float> TokenizerPlan::Impl::compute_features(const Paragraph& paragraph) const {
  const std::size_t n = paragraph.size();

  std::vector<SimpleFeature> simple;
  for (const std::string& name : feat_funcs) {
    if (name == "space_before") {
      simple.push_back(SimpleFeature::SpaceBefore);
    } else if (name == "capitalized") {
      simple.push_back(SimpleFeature::Capitalized);
    } else if (name == "numeric") {
      simple.push_back(SimpleFeature::Numeric);
    }
  }
  const bool end_of_para = contains(feat_funcs, "end_of_para");
  const bool start_of_para = contains(feat_funcs, "start_of_para");

  std::vector<std::vector<float>> pattern_columns;
  static constexpr std::string_view kPatternNames[] = {"labeled_field", "phone_id", "date_pattern",
                                                       "currency"};
  bool any_pattern = false;
  for (std::size_t k = 0; k < 4; ++k) {
    any_pattern = any_pattern || contains(feat_funcs, kPatternNames[k]);
  }
  if (any_pattern) {
    const auto& built = detail::tokenize::feature_patterns();
    const Pattern* all[4] = {&built.labeled_field, &built.phone_id, &built.date_pattern,
                             &built.currency};
    const std::string joined = detail::tokenize::join_units(paragraph);
    for (std::size_t k = 0; k < 4; ++k) {
      if (contains(feat_funcs, kPatternNames[k])) {
        std::vector<float> mask(n, 0.0F);
        detail::tokenize::mark_pattern_matches(joined, *all[k], mask);
        pattern_columns.push_back(std::move(mask));
      }
    }
  }

  const std::size_t dictionary_width =
      use_dictionary ? 2 * static_cast<std::size_t>(num_dict_feat) : 0;
  const std::size_t width = simple.size() + (end_of_para ? 1 : 0) + pattern_columns.size() +
                            (start_of_para ? 1 : 0) + dictionary_width;
  if (static_cast<std::int64_t>(width) != feat_dim) {
    throw TokenizerModelError("tokenizer feature dimension does not match feat_funcs");
  }

  std::vector<float> features(n * width, 0.0F);
  for (std::size_t i = 0; i < n; ++i) {
    float* row = features.data() + i * width;
    for (SimpleFeature feature : simple) {
      *row++ = simple_feature(feature, paragraph[i]);
    }
    if (end_of_para) {
      *row++ = i + 1 == n ? 1.0F : 0.0F;
    }
    if (start_of_para) {
      *row++ = i == 0 ? 1.0F : 0.0F;
    }
    for (const std::vector<float>& column : pattern_columns) {
      *row++ = column[i];
    }
    if (use_dictionary) {
      dictionary_features(*this, paragraph, i, row);
    }
  }
  return features;
}

std::vector<std::int64_t> TokenizerPlan::Impl::unit_ids(const Paragraph& paragraph) const {
  std::vector<std::int64_t> ids;
  ids.reserve(paragraph.size());
  for (const CharUnit& unit : paragraph) {
    const auto found = unit2id.find(unit.text);
    ids.push_back(found == unit2id.end() ? unk_id : found->second);
  }
  return ids;
}

} // namespace velmora
