#include "document/misc_spacing.hpp"

#include <algorithm>
#include <vector>

namespace velmora::detail {
namespace {

constexpr std::string_view kNoBreakSpace = "\xC2\xA0";
constexpr std::string_view kNoBreakSpaceEscape = "\\u00A0";

struct Escape {
  char letter;
  char character;
};

// In the order in which unescaping tries them.
constexpr Escape kEscapes[] = {{'s', ' '},  {'t', '\t'}, {'r', '\r'},
                               {'n', '\n'}, {'p', '|'},  {'\\', '\\'}};

// Pieces of a misc value; empty pieces between separators are dropped.
std::vector<std::string> split_misc(std::string_view misc) {
  std::vector<std::string> pieces;
  std::size_t start = 0;
  while (start <= misc.size()) {
    std::size_t end = misc.find('|', start);
    if (end == std::string_view::npos) {
      end = misc.size();
    }
    if (end > start) {
      pieces.emplace_back(misc.substr(start, end - start));
    }
    start = end + 1;
  }
  return pieces;
}

std::string join_misc(const std::vector<std::string>& pieces) {
  std::string joined;
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    if (i != 0) {
      joined += '|';
    }
    joined += pieces[i];
  }
  return joined;
}

bool starts_with(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

std::string unescaped_value(std::string_view piece) {
  return unescape_spacing(piece.substr(piece.find('=') + 1));
}

} // namespace

std::string escape_spacing(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (std::size_t i = 0; i < value.size(); ++i) {
    const char c = value[i];
    if (value.substr(i, kNoBreakSpace.size()) == kNoBreakSpace) {
      out += kNoBreakSpaceEscape;
      ++i;
      continue;
    }
    const auto* escape = std::find_if(std::begin(kEscapes), std::end(kEscapes),
                                      [c](const Escape& e) { return e.character == c; });
    if (escape == std::end(kEscapes)) {
      out += c;
    } else {
      out += '\\';
      out += escape->letter;
    }
  }
  return out;
}

std::string unescape_spacing(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  std::size_t i = 0;
  while (i < value.size()) {
    if (value[i] == '\\' && i + 1 < value.size()) {
      const char letter = value[i + 1];
      const auto* escape = std::find_if(std::begin(kEscapes), std::end(kEscapes),
                                        [letter](const Escape& e) { return e.letter == letter; });
      if (escape != std::end(kEscapes)) {
        out += escape->character;
        i += 2;
        continue;
      }
      if (value.substr(i, kNoBreakSpaceEscape.size()) == kNoBreakSpaceEscape) {
        out += kNoBreakSpace;
        i += kNoBreakSpaceEscape.size();
        continue;
      }
    }
    out += value[i];
    ++i;
  }
  return out;
}

std::optional<std::string> compose_misc(const std::optional<std::string>& misc,
                                        std::string_view spaces_before,
                                        std::string_view spaces_after) {
  std::vector<std::string> pieces;
  if (misc) {
    pieces = split_misc(*misc);
  }
  const bool had_pieces = !pieces.empty();
  const std::size_t stored = pieces.size();

  if (spaces_after.empty()) {
    pieces.emplace_back("SpaceAfter=No");
  } else if (spaces_after != " ") {
    pieces.push_back("SpacesAfter=" + escape_spacing(spaces_after));
  }
  if (!spaces_before.empty()) {
    pieces.push_back("SpacesBefore=" + escape_spacing(spaces_before));
  }
  // Sorting only when spacing joins stored pieces keeps a stored value as it
  // was whenever the spacing is the default.
  if (had_pieces && pieces.size() != stored) {
    std::sort(pieces.begin(), pieces.end());
  }
  if (pieces.empty()) {
    return std::nullopt;
  }
  return join_misc(pieces);
}

void extract_spacing(TokenInput& token) {
  if (!token.misc) {
    return;
  }
  std::vector<std::string> kept;
  for (std::string& piece : split_misc(*token.misc)) {
    if (piece == "SpaceAfter=No" || piece == "SpaceAfter=No~") {
      token.spaces_after.clear();
    } else if (piece == "SpaceAfter=Yes") {
      token.spaces_after = " ";
    } else if (starts_with(piece, "SpaceAfter=") || starts_with(piece, "SpacesAfter=")) {
      token.spaces_after = unescaped_value(piece);
    } else if (starts_with(piece, "SpacesBefore=")) {
      token.spaces_before = unescaped_value(piece);
    } else {
      kept.push_back(std::move(piece));
    }
  }
  token.misc = kept.empty() ? std::nullopt : std::optional<std::string>(join_misc(kept));
}

} // namespace velmora::detail
