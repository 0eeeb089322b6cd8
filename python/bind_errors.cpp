#include "bindings.hpp"

#include <cstring>
#include <exception>
#include <new>
#include <stdexcept>

#include <velmora/errors.hpp>

namespace velmora::python {
namespace {

// Raises `type` with `message`. A message is meant to be UTF-8, but it may
// carry bytes of a file name or of a package member that are not: those
// are kept as \xNN escapes, so the error keeps both its class and its text.
void raise_native(PyObject* type, const char* message) noexcept {
  PyObject* text = PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(std::strlen(message)),
                                        "backslashreplace");
  if (text == nullptr) {
    // Only a failed allocation gets here, and its MemoryError is pending.
    return;
  }
  PyErr_SetObject(type, text);
  Py_DECREF(text);
}

// The translator of one native class, raising the Python class it is given.
template <class Native> void translate(const std::exception_ptr& pending, void* python_class) {
  try {
    std::rethrow_exception(pending);
  } catch (const Native& error) {
    raise_native(static_cast<PyObject*>(python_class), error.what());
  }
}

// The standard exceptions, mapped as the binding runtime maps them.
void translate_standard(const std::exception_ptr& pending, void*) {
  try {
    std::rethrow_exception(pending);
  } catch (const std::bad_alloc& error) {
    raise_native(PyExc_MemoryError, error.what());
  } catch (const std::domain_error& error) {
    raise_native(PyExc_ValueError, error.what());
  } catch (const std::invalid_argument& error) {
    raise_native(PyExc_ValueError, error.what());
  } catch (const std::length_error& error) {
    raise_native(PyExc_ValueError, error.what());
  } catch (const std::out_of_range& error) {
    raise_native(PyExc_IndexError, error.what());
  } catch (const std::range_error& error) {
    raise_native(PyExc_ValueError, error.what());
  } catch (const std::overflow_error& error) {
    raise_native(PyExc_OverflowError, error.what());
  } catch (const std::exception& error) {
    raise_native(PyExc_RuntimeError, error.what());
  }
}

// Creates the module's class `name` on `base` and registers its translator;
// returns the class. The reference that creation returns is kept for the
// translator, so the class outlives a deleted module attribute.
template <class Native> nb::handle add_error(nb::module_& m, const char* name, nb::handle base) {
  const nb::handle python_class = nb::detail::exception_new(m.ptr(), name, base.ptr());
  nb::register_exception_translator(&translate<Native>, python_class.ptr());
  return python_class;
}

} // namespace

// Each class gets its translator right after it is created. The runtime tries
// the newest translator first, so a per-model error, registered after
// ModelBundleError, is claimed by its own class before its base can claim it,
// and the standard exceptions, registered before all of them, are tried last.
void bind_errors(nb::module_& m) {
  nb::register_exception_translator(&translate_standard);
  add_error<ProcessorNotImplementedError>(m, "ProcessorNotImplementedError",
                                          PyExc_NotImplementedError);
  add_error<ProcessorRequirementsError>(m, "ProcessorRequirementsError", PyExc_ValueError);
  const nb::handle bundle_error =
      add_error<ModelBundleError>(m, "ModelBundleError", PyExc_RuntimeError);
  add_error<TokenizerModelError>(m, "TokenizerModelError", bundle_error);
  add_error<Seq2SeqModelError>(m, "Seq2SeqModelError", bundle_error);
  add_error<MWTModelError>(m, "MWTModelError", bundle_error);
  add_error<POSModelError>(m, "POSModelError", bundle_error);
  add_error<LemmaModelError>(m, "LemmaModelError", bundle_error);
  add_error<DepparseModelError>(m, "DepparseModelError", bundle_error);
  add_error<NERModelError>(m, "NERModelError", bundle_error);
  add_error<SentimentModelError>(m, "SentimentModelError", bundle_error);
  add_error<ConstituencyModelError>(m, "ConstituencyModelError", bundle_error);
  add_error<CorefModelError>(m, "CorefModelError", bundle_error);
  add_error<CharLMModelError>(m, "CharLMModelError", bundle_error);
  add_error<LangIDModelError>(m, "LangIDModelError", bundle_error);
  add_error<MorphSegModelError>(m, "MorphSegModelError", bundle_error);
  add_error<WordPieceError>(m, "WordPieceError", PyExc_RuntimeError);
  add_error<SubwordError>(m, "SubwordError", PyExc_RuntimeError);
  add_error<TransformerError>(m, "TransformerError", PyExc_RuntimeError);
}

} // namespace velmora::python
