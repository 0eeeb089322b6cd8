#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <velmora/errors.hpp>

namespace velmora::detail {

// One JSON value: null, boolean, 64-bit integer, double, string, array or
// object. Objects keep their members ordered by key (byte order), not in the
// order of the document. Typed accessors name the place being read (the
// "context", e.g. "manifest.tensor_file.size") in their error messages so a
// bad file can be located without a debugger.
class JsonValue {
public:
  using Array = std::vector<JsonValue>;
  using Object = std::map<std::string, JsonValue, std::less<>>;

  JsonValue() noexcept = default;
  JsonValue(bool value) noexcept : value_(value) {}
  JsonValue(long long value) noexcept : value_(value) {}
  JsonValue(double value) noexcept : value_(value) {}
  JsonValue(std::string value) : value_(std::move(value)) {}
  JsonValue(Array value) : value_(std::move(value)) {}
  JsonValue(Object value) : value_(std::move(value)) {}
  // A string literal would otherwise silently become a boolean.
  JsonValue(const char*) = delete;

  bool is_null() const noexcept { return value_.index() == 0; }
  bool is_bool() const noexcept { return value_.index() == 1; }
  bool is_integer() const noexcept { return value_.index() == 2; }
  // True for an integer or a double.
  bool is_number() const noexcept { return value_.index() == 2 || value_.index() == 3; }
  bool is_string() const noexcept { return value_.index() == 4; }
  bool is_array() const noexcept { return value_.index() == 5; }
  bool is_object() const noexcept { return value_.index() == 6; }

  // Each throws JsonError "expected JSON <kind>[ at <context>]" on a value of
  // another kind. as_integer refuses doubles, even integral ones.
  bool as_bool(std::string_view context = {}) const;
  long long as_integer(std::string_view context = {}) const;
  double as_number(std::string_view context = {}) const;
  const std::string& as_string(std::string_view context = {}) const;
  const Array& as_array(std::string_view context = {}) const;
  const Object& as_object(std::string_view context = {}) const;

  // The member `key` of this object; the context names the object, not the
  // key. Throws JsonError when this is not an object or lacks the key.
  const JsonValue& at(std::string_view key, std::string_view context = {}) const;
  // The member `key`, or null when this is not an object or lacks the key.
  const JsonValue* find(std::string_view key) const noexcept;

  // Throws JsonError "expected JSON " + expected, then " at " + context when
  // the context is not empty.
  [[noreturn]] static void throw_type(std::string_view expected, std::string_view context);

private:
  std::variant<std::monostate, bool, long long, double, std::string, Array, Object> value_;
};

// Parses one complete JSON text (RFC 8259, strict: no comments, trailing
// commas, NaN or Infinity). Errors end with " at JSON byte N". Nesting deeper
// than 512 arrays/objects is refused.
JsonValue parse_json(std::string_view text);

// The whole file as raw bytes (binary mode, no encoding check).
std::string load_text_file(const std::filesystem::path& path);

// parse_json(load_text_file(path)).
JsonValue load_json(const std::filesystem::path& path);

} // namespace velmora::detail
