#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <velmora/document_storage.hpp>

// A token's surrounding whitespace travels inside its misc value wherever a
// document leaves the library (its dictionary form and its CoNLL-U), as the
// pieces "SpaceAfter=No", "SpacesAfter=<escaped>" and "SpacesBefore=<escaped>".
namespace velmora::detail {

// Writes tab, line feed, carriage return, space, backslash, vertical bar and
// the no-break space as their backslash escapes.
std::string escape_spacing(std::string_view value);
// The inverse; an unknown escape is copied with its backslash.
std::string unescape_spacing(std::string_view value);

// The misc value of an output entry: the stored pieces plus the spacing pieces
// that differ from the defaults (nothing before, one space after).
std::optional<std::string> compose_misc(const std::optional<std::string>& misc,
                                        std::string_view spaces_before,
                                        std::string_view spaces_after);

// Moves the spacing pieces of an input token's misc into its spacing fields.
void extract_spacing(TokenInput& token);

} // namespace velmora::detail
