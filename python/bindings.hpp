#pragma once

// Every translation unit of the module includes this header first, so that all
// of them see the same set of type casters.
#include <nanobind/nanobind.h>
#include <nanobind/stl/filesystem.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/shared_ptr.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

namespace velmora::python {

namespace nb = nanobind;

// The module's `__version__`, also what native_version() reports.
inline constexpr const char* kModuleVersion = "0.1.0";

// One registration function per group of classes; module.cpp calls them in
// the order in which the classes must appear.
void bind_errors(nb::module_& m);
void bind_bundle(nb::module_& m);
void bind_charlm(nb::module_& m);
void bind_coref_plan(nb::module_& m);
void bind_morphseg(nb::module_& m);
void bind_tokenizers(nb::module_& m);
void bind_transformer(nb::module_& m);
void bind_coref_values(nb::module_& m);
void bind_constituency_tree(nb::module_& m);
void bind_document(nb::module_& m);
void bind_sentence(nb::module_& m);
void bind_token(nb::module_& m);
void bind_word(nb::module_& m);
void bind_span(nb::module_& m);
void bind_sequences(nb::module_& m);
void bind_processors(nb::module_& m);
void bind_pipeline(nb::module_& m);
void bind_pipeline_functions(nb::module_& m);

} // namespace velmora::python
