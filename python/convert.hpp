#pragma once

#include "bindings.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Conversions that the bindings perform inside their own bodies, where the
// runtime's argument matching does not reach.
namespace velmora::python {

// A Python str decoded from UTF-8; MemoryError when it does not fit.
nb::str to_str(std::string_view text);

// Stores `value` under `key` when it is present; an absent value leaves the
// key out.
void set_if_present(nb::dict& dict, const char* key, const std::optional<std::string>& value);
void set_if_present(nb::dict& dict, const char* key, const std::optional<std::int32_t>& value);
void set_if_present(nb::dict& dict, const char* key, const std::optional<std::uint32_t>& value);
void set_if_present(nb::dict& dict, const char* key, const std::optional<bool>& value);

// Conversions of arguments that a binding reads inside its own body. Each
// names the argument `name` in its error: TypeError for an object of another
// kind, OverflowError for an integer outside the native width, ValueError for
// a str that UTF-8 cannot hold (one with a lone surrogate).
std::string convert_str(nb::handle value, const char* name);
// Exactly True or False.
bool convert_bool(nb::handle value, const char* name);
// A sequence of str other than a str or bytes.
std::vector<std::string> convert_str_list(nb::handle value, const char* name);
// An int, or an object that stands for one (it has __index__).
std::int32_t index_int32(nb::handle value, const char* name);
// Converting mode: an int, or any other object through Python's int(),
// except a float.
std::int32_t convert_int32(nb::handle value, const char* name);
std::int64_t convert_int64(nb::handle value, const char* name);

// json.dumps(value, ensure_ascii=False), indented by two spaces when asked.
// json is imported at the call.
std::string dumps_json(nb::handle value, bool indent);

// A format string asking for CoNLL-U text: it starts with c or C.
inline bool wants_conll(std::string_view spec) {
  return !spec.empty() && (spec.front() == 'c' || spec.front() == 'C');
}

} // namespace velmora::python
