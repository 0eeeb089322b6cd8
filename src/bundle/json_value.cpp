#include <velmora/json.hpp>

#include <cerrno>
#include <string>

#include <unistd.h>

#include "bundle/regular_file.hpp"

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
  const RegularFile file = open_regular_file(path);
  if (file.failure == RegularFile::Failure::open) {
    throw JsonError("cannot open JSON file: " + path.string());
  }
  if (file.failure != RegularFile::Failure::none) {
    throw JsonError("cannot read JSON file: " + path.string());
  }
  // Exactly the size the status gave: a file that shrinks meanwhile is a
  // read error, and one that grows is not read beyond it.
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{file.fd};
  std::string text(static_cast<std::size_t>(file.size), '\0');
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t count = ::read(file.fd, text.data() + done, text.size() - done);
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count <= 0) {
      throw JsonError("cannot read JSON file: " + path.string());
    }
    done += static_cast<std::size_t>(count);
  }
  return text;
}

JsonValue load_json(const std::filesystem::path& path) {
  return parse_json(load_text_file(path));
}

} // namespace velmora::detail
