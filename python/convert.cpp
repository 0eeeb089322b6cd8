#include "convert.hpp"

#include <limits>

namespace velmora::python {
namespace {

// Raises `type` with "<name> <detail>, not <type of value>".
[[noreturn]] void raise_kind(PyObject* type, const char* name, const char* detail,
                             nb::handle value) {
  PyErr_Format(type, "%s %s, not %s", name, detail, Py_TYPE(value.ptr())->tp_name);
  throw nb::python_error();
}

// A Python int in T's range as T. Outside it: OverflowError naming the
// argument, with the value when it has at most 64 bits.
template <typename T> T int_in_range(nb::handle number, const char* name, const char* width) {
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
  if (value == -1 && PyErr_Occurred() != nullptr) {
    throw nb::python_error();
  }
  if (overflow != 0) {
    PyErr_Format(PyExc_OverflowError, "%s is outside the %s integer range", name, width);
    throw nb::python_error();
  }
  if (value < std::numeric_limits<T>::min() || value > std::numeric_limits<T>::max()) {
    PyErr_Format(PyExc_OverflowError, "%s is outside the %s integer range: %lld", name, width,
                 value);
    throw nb::python_error();
  }
  return static_cast<T>(value);
}

// Python's int() applied to anything but a float.
template <typename T> T converted_integer(nb::handle value, const char* name, const char* width) {
  if (PyFloat_Check(value.ptr())) {
    raise_kind(PyExc_TypeError, name, "must be an integer", value);
  }
  if (PyLong_Check(value.ptr())) {
    return int_in_range<T>(value, name, width);
  }
  const nb::object number = nb::steal(PyNumber_Long(value.ptr()));
  if (!number.is_valid()) {
    PyErr_Clear();
    raise_kind(PyExc_TypeError, name, "must be an integer", value);
  }
  return int_in_range<T>(number, name, width);
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

std::string convert_str(nb::handle value, const char* name) {
  if (!PyUnicode_Check(value.ptr())) {
    raise_kind(PyExc_TypeError, name, "must be a str", value);
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(value.ptr(), &size);
  if (text == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) {
      throw nb::python_error();
    }
    nb::python_error cause;
    nb::raise_from(cause, PyExc_ValueError, "%s cannot be encoded as UTF-8", name);
  }
  return {text, static_cast<std::size_t>(size)};
}

bool convert_bool(nb::handle value, const char* name) {
  if (value.ptr() == Py_True || value.ptr() == Py_False) {
    return value.ptr() == Py_True;
  }
  raise_kind(PyExc_TypeError, name, "must be True or False", value);
}

std::vector<std::string> convert_str_list(nb::handle value, const char* name) {
  if (PyUnicode_Check(value.ptr()) || PyBytes_Check(value.ptr()) ||
      !PySequence_Check(value.ptr())) {
    raise_kind(PyExc_TypeError, name, "must be a sequence of str", value);
  }
  std::vector<std::string> items;
  for (nb::handle item : nb::iter(value)) {
    if (!PyUnicode_Check(item.ptr())) {
      raise_kind(PyExc_TypeError, name, "must hold only str", item);
    }
    items.push_back(convert_str(item, name));
  }
  return items;
}

std::int32_t index_int32(nb::handle value, const char* name) {
  if (PyFloat_Check(value.ptr())) {
    raise_kind(PyExc_TypeError, name, "must be an integer", value);
  }
  const nb::object number = nb::steal(PyNumber_Index(value.ptr()));
  if (!number.is_valid()) {
    PyErr_Clear();
    raise_kind(PyExc_TypeError, name, "must be an integer", value);
  }
  return int_in_range<std::int32_t>(number, name, "32-bit");
}

std::int32_t convert_int32(nb::handle value, const char* name) {
  return converted_integer<std::int32_t>(value, name, "32-bit");
}

std::int64_t convert_int64(nb::handle value, const char* name) {
  return converted_integer<std::int64_t>(value, name, "64-bit");
}

std::string dumps_json(nb::handle value, bool indent) {
  using namespace nb::literals;
  nb::object dumps = nb::module_::import_("json").attr("dumps");
  nb::object text = indent ? dumps(value, "ensure_ascii"_a = false, "indent"_a = 2)
                           : dumps(value, "ensure_ascii"_a = false);
  return convert_str(text, "json.dumps result");
}

} // namespace velmora::python
