#include <velmora/json.hpp>

#include <fstream>

namespace velmora::detail {

void JsonValue::throw_type(std::string_view expected, std::string_view context) {
  std::string message = "expected JSON ";
  message += expected;
  if (!context.empty()) {
    message += " at ";
    message += context;
  }
  throw JsonError(message);
}

bool JsonValue::as_bool(std::string_view context) const {
  if (const bool* value = std::get_if<bool>(&value_)) {
    return *value;
  }
  throw_type("boolean", context);
}

long long JsonValue::as_integer(std::string_view context) const {
  if (const long long* value = std::get_if<long long>(&value_)) {
    return *value;
  }
  throw_type("integer", context);
}

double JsonValue::as_number(std::string_view context) const {
  if (const double* value = std::get_if<double>(&value_)) {
    return *value;
  }
  if (const long long* value = std::get_if<long long>(&value_)) {
    return static_cast<double>(*value);
  }
  throw_type("number", context);
}

const std::string& JsonValue::as_string(std::string_view context) const {
  if (const std::string* value = std::get_if<std::string>(&value_)) {
    return *value;
  }
  throw_type("string", context);
}

const JsonValue::Array& JsonValue::as_array(std::string_view context) const {
  if (const Array* value = std::get_if<Array>(&value_)) {
    return *value;
  }
  throw_type("array", context);
}

const JsonValue::Object& JsonValue::as_object(std::string_view context) const {
  if (const Object* value = std::get_if<Object>(&value_)) {
    return *value;
  }
  throw_type("object", context);
}

const JsonValue& JsonValue::at(std::string_view key, std::string_view context) const {
  const Object& members = as_object(context);
  auto found = members.find(key);
  if (found == members.end()) {
    std::string message = "missing JSON key '";
    message += key;
    message += "'";
    if (!context.empty()) {
      message += " at ";
      message += context;
    }
    throw JsonError(message);
  }
  return found->second;
}

const JsonValue* JsonValue::find(std::string_view key) const noexcept {
  const Object* members = std::get_if<Object>(&value_);
  if (members == nullptr) {
    return nullptr;
  }
  auto found = members->find(key);
  return found == members->end() ? nullptr : &found->second;
}

std::string load_text_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    throw JsonError("cannot open JSON file: " + path.string());
  }
  // Read through the stream rather than streaming its buffer into another
  // stream: only this way does a read error (a directory, an I/O failure)
  // reach the stream state instead of passing for a short file.
  std::string text;
  char chunk[1 << 16];
  while (in.read(chunk, sizeof chunk), in.gcount() > 0) {
    text.append(chunk, static_cast<std::size_t>(in.gcount()));
  }
  if (in.bad() || !in.eof()) {
    throw JsonError("cannot read JSON file: " + path.string());
  }
  return text;
}

JsonValue load_json(const std::filesystem::path& path) {
  return parse_json(load_text_file(path));
}

} // namespace velmora::detail
