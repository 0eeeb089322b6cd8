#include "bindings.hpp"

namespace nb = nanobind;
namespace py = velmora::python;

// NB_MODULE defines the multi-phase entry: one execution slot, declared as not
// supporting sub-interpreters, with registration failures turned into
// ImportError. Everything the module offers is created below, in this order,
// and nothing else runs at import.
NB_MODULE(_velmora, m) {
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
