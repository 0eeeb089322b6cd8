#pragma once

#include "bindings.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

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

// Integer conversion in converting mode: an int (range-checked), or any other
// object through Python's int(), except a float. Failure raises the runtime's
// cast error (RuntimeError in Python).
std::int32_t convert_int32(nb::handle value);
std::int64_t convert_int64(nb::handle value);

// json.dumps(value, ensure_ascii=False), indented by two spaces when asked.
// json is imported at the call.
std::string dumps_json(nb::handle value, bool indent);

// A format string asking for CoNLL-U text: it starts with c or C.
inline bool wants_conll(std::string_view spec) {
  return !spec.empty() && (spec.front() == 'c' || spec.front() == 'C');
}

} // namespace velmora::python
