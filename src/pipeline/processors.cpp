#include <velmora/processors.hpp>

namespace velmora {

namespace detail {
ProcessorSpec registry_spec(const std::string& name);
} // namespace detail

// Stages whose models come with later work: registered and constructible
// without a model, so a pipeline can be configured and validated with them.
LangIDProcessor::LangIDProcessor() : PlannedProcessor(detail::registry_spec("langid")) {}
LangIDProcessor::~LangIDProcessor() = default;

TokenizeProcessor::TokenizeProcessor() : PlannedProcessor(detail::registry_spec("tokenize")) {}
TokenizeProcessor::~TokenizeProcessor() = default;

MWTProcessor::MWTProcessor() : PlannedProcessor(detail::registry_spec("mwt")) {}
MWTProcessor::~MWTProcessor() = default;

POSProcessor::POSProcessor() : PlannedProcessor(detail::registry_spec("pos")) {}
POSProcessor::~POSProcessor() = default;

LemmaProcessor::LemmaProcessor() : PlannedProcessor(detail::registry_spec("lemma")) {}
LemmaProcessor::~LemmaProcessor() = default;

DepparseProcessor::DepparseProcessor() : PlannedProcessor(detail::registry_spec("depparse")) {}
DepparseProcessor::~DepparseProcessor() = default;

NERProcessor::NERProcessor() : PlannedProcessor(detail::registry_spec("ner")) {}
NERProcessor::~NERProcessor() = default;

SentimentProcessor::SentimentProcessor() : PlannedProcessor(detail::registry_spec("sentiment")) {}
SentimentProcessor::~SentimentProcessor() = default;

ConstituencyProcessor::ConstituencyProcessor()
    : PlannedProcessor(detail::registry_spec("constituency")) {}
ConstituencyProcessor::~ConstituencyProcessor() = default;

CorefProcessor::CorefProcessor() : PlannedProcessor(detail::registry_spec("coref")) {}
CorefProcessor::~CorefProcessor() = default;

MorphSegProcessor::MorphSegProcessor() : PlannedProcessor(detail::registry_spec("morphseg")) {}
MorphSegProcessor::~MorphSegProcessor() = default;

namespace detail {

std::shared_ptr<Processor> make_processor_from_bundle(const std::string& name,
                                                      std::filesystem::path bundle,
                                                      bool verify_checksums,
                                                      std::vector<std::string> langid_lang_subset) {
  (void)bundle;
  (void)verify_checksums;
  (void)langid_lang_subset;
  // No stage can load its model yet.
  throw ProcessorNotImplementedError("the '" + name +
                                     "' processor is registered but native inference is not "
                                     "implemented");
}

} // namespace detail

} // namespace velmora
