// The strict JSON reader over any bytes: a value or a JsonError, and every
// typed read of a value either answers or throws JsonError.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include <velmora/json.hpp>

namespace {

using velmora::detail::JsonError;
using velmora::detail::JsonValue;

void read_everything(const JsonValue& value, int depth) {
  if (depth > 600) {
    return;
  }
  try {
    for (const JsonValue& item : value.as_array("fuzz")) {
      read_everything(item, depth + 1);
    }
  } catch (const JsonError&) {
  }
  try {
    for (const auto& [key, member] : value.as_object("fuzz")) {
      (void)value.at(key, "fuzz");
      read_everything(member, depth + 1);
    }
  } catch (const JsonError&) {
  }
  for (const auto& read : {+[](const JsonValue& v) { (void)v.as_integer("fuzz"); },
                           +[](const JsonValue& v) { (void)v.as_number("fuzz"); },
                           +[](const JsonValue& v) { (void)v.as_bool("fuzz"); },
                           +[](const JsonValue& v) { (void)v.as_string("fuzz"); }}) {
    try {
      read(value);
    } catch (const JsonError&) {
    }
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  try {
    const JsonValue value =
        velmora::detail::parse_json(std::string_view(reinterpret_cast<const char*>(data), size));
    read_everything(value, 0);
  } catch (const JsonError&) {
  }
  return 0;
}
