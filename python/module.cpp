#include "bindings.hpp"

#include "held_signals.hpp"
#include "released_call.hpp"

#include <exception>
#include <new>
#include <unordered_map>

namespace nb = nanobind;
namespace py = velmora::python;

namespace {

constexpr const char* kMainInterpreterOnly =
    "_velmora loads only in the main interpreter, not in a sub-interpreter";

// Everything the module offers is created here, in this order, and nothing
// else runs at import.
void register_module(nb::module_& m) {
  m.attr("__doc__") = "Native components of Velmora.";
  m.attr("__version__") = py::kModuleVersion;
#if defined(NB_FREE_THREADED)
  m.attr("free_threaded_build") = true;
#else
  m.attr("free_threaded_build") = false;
#endif

  py::bind_errors(m);

  // Classes. Their order is part of the module's surface: each group goes in
  // at its place below.
  py::bind_bundle(m);            // 1 TensorDescriptor, 2 ModelBundle
  py::bind_charlm(m);            // 3 CharLMPlan
  py::bind_coref_plan(m);        // 4 CorefPrediction, 5 CorefPlan
  py::bind_morphseg(m);          // 6 MorphSegPlan
  py::bind_tokenizers(m);        // 7 WordPieceEncoding, 8 WordPieceTokenizer,
                                 // 9 ByteBPETokenizer, 10 XLMRobertaTokenizer
  py::bind_transformer(m);       // 11 TransformerEncoder
  py::bind_coref_values(m);      // 12 CorefMention, 13 CorefChain, 14 CorefAttachment
  py::bind_constituency_tree(m); // 15 ConstituencyTree
  py::bind_document(m);          // 16 Document
  py::bind_sentence(m);          // 17 Sentence
  py::bind_token(m);             // 18 Token
  py::bind_word(m);              // 19 Word
  py::bind_span(m);              // 20 Span
  py::bind_sequences(m);         // 21 .. 30 the five sequences and their iterators
  py::bind_processors(m);        // 31 Processor, 32 .. 42 the eleven processor classes
  py::bind_pipeline(m);          // 43 Pipeline

  // Module functions: processor_specs, then native_version.
  py::bind_pipeline_functions(m);
}

// The definition NB_MODULE would write, but for its execution slot and free
// hook, written for nanobind 2.15.0:
//
// - Its free hook drops the module's count on the binding runtime whether or
//   not the module ever ran its execution slot, and the interpreter frees a
//   module that an exception (a Ctrl-C while the library loads, say) cut
//   short between its creation and its execution: the runtime does not exist
//   yet, and the process dies of SIGSEGV. So the hook drops only a count the
//   slot took.
// - The runtime registers each native type once. A module executed again
//   while an earlier one lives (a Ctrl-C just after the execution slot has
//   run leaves it in the exception's traceback, and the import that follows
//   runs the slot again) would find its types taken and end up without them.
//   So it takes the earlier module's attributes, the same classes and
//   functions, instead.
// - It sets up its runtime by running Python code and clearing any error
//   that code raised, a KeyboardInterrupt included. So the execution slot
//   holds signals back while it runs and raises them when it ends.
//
// Module objects whose execution slot counted them, each with whether it
// registered everything. They all belong to the main interpreter (see
// execute_module). Never destroyed, as the interpreter frees modules late in
// its finalisation.
std::unordered_map<void*, bool>& executed_modules = *new std::unordered_map<void*, bool>();

// What the import system sets on each module object itself.
bool own_attribute(PyObject* name) {
  for (const char* own : {"__name__", "__loader__", "__package__", "__spec__", "__file__",
                          "__cached__", "__builtins__"}) {
    if (PyUnicode_CompareWithASCIIString(name, own) == 0) {
      return true;
    }
  }
  return false;
}

void copy_attributes(PyObject* from, PyObject* to) {
  PyObject* attributes = PyModule_GetDict(from);
  PyObject* target = PyModule_GetDict(to);
  PyObject* name = nullptr;
  PyObject* value = nullptr;
  for (Py_ssize_t position = 0; PyDict_Next(attributes, &position, &name, &value) != 0;) {
    if (!own_attribute(name) && PyDict_SetItem(target, name, value) != 0) {
      throw nb::python_error();
    }
  }
}

int build_module(PyObject* module) {
  PyObject* earlier = nullptr;
  for (const auto& [other, complete] : executed_modules) {
    if (complete) {
      earlier = static_cast<PyObject*>(other);
    }
  }
  try {
    executed_modules.emplace(module, false);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return -1;
  }
  // Takes the count, or ends the process.
  nb::detail::nb_module_exec(NB_DOMAIN_STR, module);
  try {
    if (earlier != nullptr) {
      copy_attributes(earlier, module);
    } else {
      nb::module_ m = nb::borrow<nb::module_>(module);
      register_module(m);
    }
    py::watch_interpreter_exit();
    executed_modules.at(module) = true;
    return 0;
  } catch (nb::python_error& e) {
    e.restore();
    nb::chain_error(PyExc_ImportError, "Encountered an error while initializing the extension.");
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_ImportError, e.what());
  }
  return -1;
}

int execute_module(PyObject* module) {
  // The module lives in the main interpreter alone: its native types are
  // registered once per process, and the exit's watch and the fork handlers'
  // counts serve one interpreter, so that a sub-interpreter's exit would park
  // the main interpreter's calls. An isolated sub-interpreter refuses the import itself,
  // through the definition's declaration, before this slot runs; one that
  // shares the main interpreter's lock (Py_NewInterpreter's kind) does not,
  // and is refused here, before anything of the module exists in it.
  if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
    PyErr_SetString(PyExc_ImportError, kMainInterpreterOnly);
    return -1;
  }
  // A Ctrl-C that came while the libraries loaded (most of an import's time)
  // is raised here as it is, before anything is built.
  if (PyErr_CheckSignals() != 0) {
    return -1;
  }
  // One that comes while the module is built is raised when that is done
  // (see HeldSignals); after a failed build the interpreter raises it once
  // the import's own error has been seen.
  py::HeldSignals held;
  const int status = build_module(module);
  if (!held.release(status == 0)) {
    return -1;
  }
  return status;
}

void free_module(void* module) {
  if (executed_modules.erase(module) != 0) {
    nb::detail::nb_module_free(module);
  }
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(execute_module)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "_velmora",
    nullptr, // __doc__ is set by the execution slot
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    free_module,
};

} // namespace

extern "C" NB_EXPORT PyObject* PyInit__velmora() {
  return PyModuleDef_Init(&module_definition);
}
