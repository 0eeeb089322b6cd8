#include "bindings.hpp"

#include <velmora/errors.hpp>

namespace velmora::python {

// Each class gets its translator right after it is created. The runtime tries
// the newest translator first, so a per-model error, registered after
// ModelBundleError, is claimed by its own class before its base can claim it.
void bind_errors(nb::module_& m) {
  nb::exception<ProcessorNotImplementedError>(m, "ProcessorNotImplementedError",
                                              PyExc_NotImplementedError);
  nb::exception<ProcessorRequirementsError>(m, "ProcessorRequirementsError", PyExc_ValueError);
  nb::exception<ModelBundleError> bundle_error(m, "ModelBundleError", PyExc_RuntimeError);
  nb::exception<TokenizerModelError>(m, "TokenizerModelError", bundle_error);
  nb::exception<Seq2SeqModelError>(m, "Seq2SeqModelError", bundle_error);
  nb::exception<MWTModelError>(m, "MWTModelError", bundle_error);
  nb::exception<POSModelError>(m, "POSModelError", bundle_error);
  nb::exception<LemmaModelError>(m, "LemmaModelError", bundle_error);
  nb::exception<DepparseModelError>(m, "DepparseModelError", bundle_error);
  nb::exception<NERModelError>(m, "NERModelError", bundle_error);
  nb::exception<SentimentModelError>(m, "SentimentModelError", bundle_error);
  nb::exception<ConstituencyModelError>(m, "ConstituencyModelError", bundle_error);
  nb::exception<CorefModelError>(m, "CorefModelError", bundle_error);
  nb::exception<CharLMModelError>(m, "CharLMModelError", bundle_error);
  nb::exception<LangIDModelError>(m, "LangIDModelError", bundle_error);
  nb::exception<MorphSegModelError>(m, "MorphSegModelError", bundle_error);
  nb::exception<WordPieceError>(m, "WordPieceError", PyExc_RuntimeError);
  nb::exception<SubwordError>(m, "SubwordError", PyExc_RuntimeError);
  nb::exception<TransformerError>(m, "TransformerError", PyExc_RuntimeError);
}

} // namespace velmora::python
