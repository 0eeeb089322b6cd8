#include <string>
#include <utility>
#include <vector>

#include "tokenize/patterns.hpp"
#include "tokenize/tokenizer_impl.hpp"

namespace velmora::detail {
namespace {

// The address pattern cannot match across a space unless a backslash escapes
// it (inside a quoted local part or an address literal), so the text splits at
// every other space into pieces that are searched independently with the same
// matches. Searching a piece costs up to the square of its length (every start
// position of a long letter run scans to its end before failing), so pieces
// longer than any real address are not searched at all: on them the network's
// own token boundaries stand.
constexpr std::size_t kMaxAddressRun = 2048;

std::vector<std::pair<std::size_t, std::size_t>> address_pieces(const std::string& text) {
  std::vector<std::pair<std::size_t, std::size_t>> pieces;
  std::size_t begin = 0;
  while (begin < text.size()) {
    std::size_t end = begin;
    while (end < text.size() && !(text[end] == ' ' && (end == 0 || text[end - 1] != '\\'))) {
      ++end;
    }
    if (end > begin && end - begin <= kMaxAddressRun) {
      pieces.emplace_back(begin, end);
    }
    begin = end + 1;
  }
  return pieces;
}

} // namespace

void merge_url_and_email_tokens(const tokenize::Paragraph& paragraph, TokenizerLabels& labels) {
  const std::string text = tokenize::join_units(paragraph);
  if (text.empty() || text.find_first_of("@.") == std::string::npos) {
    return;
  }
  std::vector<float> mask(paragraph.size(), 0.0F);
  tokenize::mark_pattern_matches(text, tokenize::url_email_pattern(), address_pieces(text), mask);

  const std::size_t n = mask.size();
  std::size_t start = 0;
  while (start < n) {
    if (mask[start] == 0.0F) {
      ++start;
      continue;
    }
    std::size_t end = start;
    while (end < n && mask[end] != 0.0F) {
      ++end;
    }
    for (std::size_t i = start; i + 1 < end; ++i) {
      labels[i] = 0;
    }
    if (labels[end - 1] == 0) {
      labels[end - 1] = 1;
    }
    start = end;
  }
}

} // namespace velmora::detail
