// Expanding one token: the dictionary with its case rules, then the model the
// bundle chose.

#include <string>
#include <string_view>
#include <vector>

#include <velmora/text.hpp>

#include "wordform/mwt_impl.hpp"

namespace velmora {
namespace {

// Removes every occurrence of `unit`, rescanning from each removal point so
// that pieces brought together by a removal are caught too.
void erase_all(std::string& text, std::string_view unit) {
  for (std::size_t at = text.find(unit); at != std::string::npos; at = text.find(unit, at)) {
    text.erase(at, unit.size());
  }
}

} // namespace

std::optional<std::string> MWTPlan::Impl::lookup(const std::string& token) const {
  if (const auto exact = expansion_dict.find(token); exact != expansion_dict.end()) {
    return exact->second;
  }
  if (detail::unicode_is_upper(token)) {
    if (const auto lower = expansion_dict.find(detail::unicode_lower(token));
        lower != expansion_dict.end()) {
      return detail::unicode_upper(lower->second);
    }
  }
  const std::vector<std::string> chars = detail::split_codepoints(token);
  if (chars.empty() || !detail::unicode_is_upper(chars.front())) {
    return std::nullopt;
  }
  const std::string_view rest = std::string_view(token).substr(chars.front().size());
  if (!detail::unicode_is_lower(rest)) {
    return std::nullopt;
  }
  const auto capitalised = expansion_dict.find(detail::unicode_lower(token));
  if (capitalised == expansion_dict.end()) {
    return std::nullopt;
  }
  const std::string& entry = capitalised->second;
  if (entry.empty()) {
    return entry;
  }
  const std::vector<std::string> entry_chars = detail::split_codepoints(entry);
  return detail::unicode_upper(entry_chars.front()) + entry.substr(entry_chars.front().size());
}

std::string MWTPlan::Impl::rewrite(const std::string& token) const {
  // Special units are never part of a word; an answer without a space
  // splits nothing.
  std::string text = seq2seq->predict(token, std::nullopt, std::nullopt, true).text;
  for (const std::string_view unit : {"<PAD>", "<UNK>", "<SOS>", "<EOS>"}) {
    erase_all(text, unit);
  }
  if (text.empty() || text.find(' ') == std::string::npos) {
    return token;
  }
  return text;
}

std::string MWTPlan::Impl::expand(const std::string& token) const {
  if (dict_only || ensemble_dict) {
    if (std::optional<std::string> expansion = lookup(token)) {
      return std::move(*expansion);
    }
    if (dict_only) {
      return token;
    }
  }
  if (force_exact_pieces) {
    return insert_spaces(token);
  }
  return rewrite(token);
}

} // namespace velmora
