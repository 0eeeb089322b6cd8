#include "convert.hpp"

namespace velmora::python {
namespace {

// Python's int() applied to anything but an int or a float.
template <typename T> T convert_integer(nb::handle value) {
  PyObject* object = value.ptr();
  if (PyFloat_Check(object)) {
    throw nb::cast_error();
  }
  if (PyLong_Check(object)) {
    return nb::cast<T>(value);
  }
  nb::object number = nb::steal(PyNumber_Long(object));
  if (!number.is_valid()) {
    PyErr_Clear();
    throw nb::cast_error();
  }
  return nb::cast<T>(number);
}

} // namespace

nb::str to_str(std::string_view text) {
  try {
    return nb::str(text.data(), text.size());
  } catch (const nb::builtin_exception&) {
    // The runtime words every failure as a conversion error, which would
    // leave as RuntimeError; a string that did not fit in memory is
    // MemoryError, still pending here.
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
      throw nb::python_error();
    }
    throw;
  }
}

void set_if_present(nb::dict& dict, const char* key, const std::optional<std::string>& value) {
  if (value) {
    dict[key] = to_str(*value);
  }
}

void set_if_present(nb::dict& dict, const char* key, const std::optional<std::int32_t>& value) {
  if (value) {
    dict[key] = nb::int_(*value);
  }
}

void set_if_present(nb::dict& dict, const char* key, const std::optional<std::uint32_t>& value) {
  if (value) {
    dict[key] = nb::int_(*value);
  }
}

void set_if_present(nb::dict& dict, const char* key, const std::optional<bool>& value) {
  if (value) {
    dict[key] = nb::bool_(*value);
  }
}

std::int32_t convert_int32(nb::handle value) {
  return convert_integer<std::int32_t>(value);
}

std::int64_t convert_int64(nb::handle value) {
  return convert_integer<std::int64_t>(value);
}

std::string dumps_json(nb::handle value, bool indent) {
  using namespace nb::literals;
  nb::object dumps = nb::module_::import_("json").attr("dumps");
  nb::object text = indent ? dumps(value, "ensure_ascii"_a = false, "indent"_a = 2)
                           : dumps(value, "ensure_ascii"_a = false);
  return nb::cast<std::string>(text);
}

} // namespace velmora::python
