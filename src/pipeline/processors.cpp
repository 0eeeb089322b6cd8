#include <velmora/processors.hpp>

#include <velmora/constituency.hpp>
#include <velmora/coref_plan.hpp>
#include <velmora/depparse.hpp>
#include <velmora/langid.hpp>
#include <velmora/lemma.hpp>
#include <velmora/morphseg.hpp>
#include <velmora/mwt.hpp>
#include <velmora/ner.hpp>
#include <velmora/pos.hpp>
#include <velmora/sentiment.hpp>
#include <velmora/tokenizer.hpp>

namespace velmora {

namespace detail {
ProcessorSpec registry_spec(const std::string& name);
} // namespace detail

// Every stage is also constructible without a model, so that a pipeline can
// be configured and validated without loading any.
LangIDProcessor::LangIDProcessor() : PlannedProcessor(detail::registry_spec("langid")) {}
LangIDProcessor::LangIDProcessor(std::filesystem::path bundle, bool verify_checksums,
                                 std::vector<std::string> language_subset)
    : LangIDProcessor() {
  auto plan = std::make_shared<LangIDPlan>(std::move(bundle), verify_checksums);
  adopt(plan, plan->bundle().path());
  language_subset_ = std::move(language_subset);
}
LangIDProcessor::~LangIDProcessor() = default;

Document LangIDProcessor::process(Document document) const {
  if (!plan_) {
    return Processor::process(std::move(document));
  }
  document.set_lang(plan_->identify(document.text(), language_subset_));
  return document;
}

std::vector<Document> LangIDProcessor::process_bulk(std::vector<Document> documents) const {
  if (!plan_) {
    return Processor::process_bulk(std::move(documents));
  }
  std::vector<std::string> texts;
  texts.reserve(documents.size());
  for (const Document& document : documents) {
    texts.push_back(document.text());
  }
  const std::vector<std::string> tags = plan_->identify_many(texts, language_subset_);
  for (std::size_t i = 0; i < documents.size(); ++i) {
    documents[i].set_lang(tags[i]);
  }
  return documents;
}

std::string LangIDProcessor::identify(const std::string& text) const {
  return require_plan().identify(text, language_subset_);
}

std::vector<std::string>
LangIDProcessor::identify_many(const std::vector<std::string>& texts) const {
  return require_plan().identify_many(texts, language_subset_);
}

TokenizeProcessor::TokenizeProcessor() : PlannedProcessor(detail::registry_spec("tokenize")) {}
TokenizeProcessor::TokenizeProcessor(std::filesystem::path bundle, bool verify_checksums)
    : TokenizeProcessor() {
  auto plan = std::make_shared<TokenizerPlan>(std::move(bundle), verify_checksums);
  adopt(plan, plan->bundle().path());
}
TokenizeProcessor::~TokenizeProcessor() = default;

Document TokenizeProcessor::process(Document document) const {
  if (!plan_) {
    return Processor::process(std::move(document));
  }
  return plan_->process(document);
}

std::vector<Document> TokenizeProcessor::process_bulk(std::vector<Document> documents) const {
  if (!plan_) {
    return Processor::process_bulk(std::move(documents));
  }
  return plan_->process_bulk(documents);
}

std::vector<std::int64_t> TokenizeProcessor::predict_labels(const std::string& text) const {
  return require_plan().predict_labels(text);
}

MWTProcessor::MWTProcessor() : PlannedProcessor(detail::registry_spec("mwt")) {}
MWTProcessor::MWTProcessor(std::filesystem::path bundle, bool verify_checksums) : MWTProcessor() {
  auto plan = std::make_shared<MWTPlan>(std::move(bundle), verify_checksums);
  adopt(plan, plan->bundle().path());
}
MWTProcessor::~MWTProcessor() = default;

Document MWTProcessor::process(Document document) const {
  if (!plan_) {
    return Processor::process(std::move(document));
  }
  return plan_->process(document);
}

std::string MWTProcessor::expand(const std::string& token) const {
  return require_plan().expand(token);
}

POSProcessor::POSProcessor() : PlannedProcessor(detail::registry_spec("pos")) {}
POSProcessor::POSProcessor(std::filesystem::path bundle, bool verify_checksums) : POSProcessor() {
  auto plan = std::make_shared<POSPlan>(std::move(bundle), verify_checksums);
  adopt(plan, plan->bundle().path());
}
POSProcessor::~POSProcessor() = default;

Document POSProcessor::process(Document document) const {
  if (!plan_) {
    return Processor::process(std::move(document));
  }
  return plan_->process(std::move(document));
}

std::vector<Document> POSProcessor::process_bulk(std::vector<Document> documents) const {
  if (!plan_) {
    return Processor::process_bulk(std::move(documents));
  }
  return plan_->process_bulk(std::move(documents));
}

Document POSProcessor::process_in_call(Document document, detail::PipelineCall& call) const {
  if (!plan_) {
    return Processor::process(std::move(document));
  }
  return plan_->process(std::move(document), &call);
}

std::vector<Document> POSProcessor::process_bulk_in_call(std::vector<Document> documents,
                                                         detail::PipelineCall& call) const {
  if (!plan_) {
    return Processor::process_bulk(std::move(documents));
  }
  return plan_->process_bulk(std::move(documents), &call);
}

LemmaProcessor::LemmaProcessor() : PlannedProcessor(detail::registry_spec("lemma")) {}
LemmaProcessor::LemmaProcessor(std::filesystem::path bundle, bool verify_checksums)
    : LemmaProcessor() {
  auto plan = std::make_shared<LemmaPlan>(std::move(bundle), verify_checksums);
  if (plan->uses_pos()) {
    spec_.requirements = {"tokenize", "pos"};
  }
  adopt(plan, plan->bundle().path());
}
LemmaProcessor::~LemmaProcessor() = default;

Document LemmaProcessor::process(Document document) const {
  if (!plan_) {
    return Processor::process(std::move(document));
  }
  return plan_->process(std::move(document));
}

std::vector<Document> LemmaProcessor::process_bulk(std::vector<Document> documents) const {
  if (!plan_) {
    return Processor::process_bulk(std::move(documents));
  }
  return plan_->process_bulk(std::move(documents));
}

std::string LemmaProcessor::lemmatize(const std::string& word,
                                      const std::optional<std::string>& upos) const {
  return require_plan().lemmatize(word, upos);
}

DepparseProcessor::DepparseProcessor() : PlannedProcessor(detail::registry_spec("depparse")) {}
DepparseProcessor::DepparseProcessor(std::filesystem::path bundle, bool verify_checksums)
    : DepparseProcessor() {
  auto plan = std::make_shared<DepparsePlan>(std::move(bundle), verify_checksums);
  adopt(plan, plan->bundle().path());
}
DepparseProcessor::~DepparseProcessor() = default;

Document DepparseProcessor::process(Document document) const {
  if (!plan_) {
    return Processor::process(std::move(document));
  }
  return plan_->process(std::move(document));
}

std::vector<Document> DepparseProcessor::process_bulk(std::vector<Document> documents) const {
  if (!plan_) {
    return Processor::process_bulk(std::move(documents));
  }
  return plan_->process_bulk(std::move(documents));
}

Document DepparseProcessor::process_in_call(Document document, detail::PipelineCall& call) const {
  if (!plan_) {
    return Processor::process(std::move(document));
  }
  return plan_->process(std::move(document), &call);
}

std::vector<Document> DepparseProcessor::process_bulk_in_call(std::vector<Document> documents,
                                                              detail::PipelineCall& call) const {
  if (!plan_) {
    return Processor::process_bulk(std::move(documents));
  }
  return plan_->process_bulk(std::move(documents), &call);
}

NERProcessor::NERProcessor() : PlannedProcessor(detail::registry_spec("ner")) {}
NERProcessor::NERProcessor(std::filesystem::path bundle, bool verify_checksums) : NERProcessor() {
  auto plan = std::make_shared<NERPlan>(std::move(bundle), verify_checksums);
  adopt(plan, plan->bundle().path());
}
NERProcessor::~NERProcessor() = default;

Document NERProcessor::process(Document document) const {
  if (!plan_) {
    return Processor::process(std::move(document));
  }
  return plan_->process(std::move(document));
}

std::vector<Document> NERProcessor::process_bulk(std::vector<Document> documents) const {
  if (!plan_) {
    return Processor::process_bulk(std::move(documents));
  }
  return plan_->process_bulk(std::move(documents));
}

std::vector<std::string> NERProcessor::tag(const std::vector<std::string>& words) const {
  return require_plan().tag(words);
}

SentimentProcessor::SentimentProcessor() : PlannedProcessor(detail::registry_spec("sentiment")) {}
SentimentProcessor::SentimentProcessor(std::filesystem::path bundle, bool verify_checksums)
    : SentimentProcessor() {
  auto plan = std::make_shared<SentimentPlan>(std::move(bundle), verify_checksums);
  adopt(plan, plan->bundle().path());
}
SentimentProcessor::~SentimentProcessor() = default;

Document SentimentProcessor::process(Document document) const {
  if (!plan_) {
    return Processor::process(std::move(document));
  }
  return plan_->process(std::move(document));
}

std::vector<Document> SentimentProcessor::process_bulk(std::vector<Document> documents) const {
  if (!plan_) {
    return Processor::process_bulk(std::move(documents));
  }
  return plan_->process_bulk(std::move(documents));
}

std::int64_t SentimentProcessor::classify(const std::vector<std::string>& words) const {
  return require_plan().classify(words);
}

std::vector<std::int64_t>
SentimentProcessor::classify_many(const std::vector<std::vector<std::string>>& sentences,
                                  std::uint64_t batch_size) const {
  return require_plan().classify_many(sentences, batch_size);
}

ConstituencyProcessor::ConstituencyProcessor()
    : PlannedProcessor(detail::registry_spec("constituency")) {}
ConstituencyProcessor::ConstituencyProcessor(std::filesystem::path bundle, bool verify_checksums)
    : ConstituencyProcessor() {
  auto plan = std::make_shared<ConstituencyPlan>(std::move(bundle), verify_checksums);
  adopt(plan, plan->bundle().path());
}
ConstituencyProcessor::~ConstituencyProcessor() = default;

Document ConstituencyProcessor::process(Document document) const {
  if (!plan_) {
    return Processor::process(std::move(document));
  }
  return plan_->process(std::move(document));
}

std::vector<Document> ConstituencyProcessor::process_bulk(std::vector<Document> documents) const {
  if (!plan_) {
    return Processor::process_bulk(std::move(documents));
  }
  return plan_->process_bulk(std::move(documents));
}

bool ConstituencyProcessor::uses_xpos() const {
  return require_plan().uses_xpos();
}

ConstituencyTree ConstituencyProcessor::parse(const std::vector<std::string>& words,
                                              const std::vector<std::string>& tags) const {
  return require_plan().parse(words, tags);
}

std::vector<ConstituencyTree>
ConstituencyProcessor::parse_many(const std::vector<std::vector<std::string>>& words,
                                  const std::vector<std::vector<std::string>>& tags) const {
  return require_plan().parse_many(words, tags);
}

CorefProcessor::CorefProcessor() : PlannedProcessor(detail::registry_spec("coref")) {}
CorefProcessor::CorefProcessor(std::filesystem::path bundle, bool verify_checksums)
    : CorefProcessor() {
  auto plan = std::make_shared<CorefPlan>(std::move(bundle), verify_checksums);
  adopt(plan, plan->bundle().path());
}
CorefProcessor::~CorefProcessor() = default;

Document CorefProcessor::process(Document document) const {
  if (!plan_) {
    return Processor::process(std::move(document));
  }
  return plan_->process(std::move(document));
}

std::vector<Document> CorefProcessor::process_bulk(std::vector<Document> documents) const {
  if (!plan_) {
    return Processor::process_bulk(std::move(documents));
  }
  return plan_->process_bulk(std::move(documents));
}

bool CorefProcessor::predicts_singletons() const {
  return require_plan().predicts_singletons();
}

bool CorefProcessor::predicts_zero_anaphora() const {
  return require_plan().predicts_zero_anaphora();
}

MorphSegProcessor::MorphSegProcessor() : PlannedProcessor(detail::registry_spec("morphseg")) {}
MorphSegProcessor::MorphSegProcessor(std::filesystem::path bundle, bool verify_checksums)
    : MorphSegProcessor() {
  auto plan = std::make_shared<MorphSegPlan>(std::move(bundle), verify_checksums);
  adopt(plan, plan->bundle().path());
}
MorphSegProcessor::~MorphSegProcessor() = default;

Document MorphSegProcessor::process(Document document) const {
  if (!plan_) {
    return Processor::process(std::move(document));
  }
  return plan_->process(std::move(document));
}

std::vector<Document> MorphSegProcessor::process_bulk(std::vector<Document> documents) const {
  if (!plan_) {
    return Processor::process_bulk(std::move(documents));
  }
  return plan_->process_bulk(std::move(documents));
}

std::vector<std::string> MorphSegProcessor::segment(const std::string& word) const {
  return require_plan().segment(word);
}

std::vector<std::vector<std::string>>
MorphSegProcessor::segment_many(const std::vector<std::string>& words) const {
  return require_plan().segment_many(words);
}

namespace detail {

std::shared_ptr<Processor> make_processor_from_bundle(const std::string& name,
                                                      std::filesystem::path bundle,
                                                      bool verify_checksums,
                                                      std::vector<std::string> langid_lang_subset) {
  if (name == "langid") {
    return std::make_shared<LangIDProcessor>(std::move(bundle), verify_checksums,
                                             std::move(langid_lang_subset));
  }
  if (name == "tokenize") {
    return std::make_shared<TokenizeProcessor>(std::move(bundle), verify_checksums);
  }
  if (name == "mwt") {
    return std::make_shared<MWTProcessor>(std::move(bundle), verify_checksums);
  }
  if (name == "pos") {
    return std::make_shared<POSProcessor>(std::move(bundle), verify_checksums);
  }
  if (name == "lemma") {
    return std::make_shared<LemmaProcessor>(std::move(bundle), verify_checksums);
  }
  if (name == "depparse") {
    return std::make_shared<DepparseProcessor>(std::move(bundle), verify_checksums);
  }
  if (name == "ner") {
    return std::make_shared<NERProcessor>(std::move(bundle), verify_checksums);
  }
  if (name == "sentiment") {
    return std::make_shared<SentimentProcessor>(std::move(bundle), verify_checksums);
  }
  if (name == "constituency") {
    return std::make_shared<ConstituencyProcessor>(std::move(bundle), verify_checksums);
  }
  if (name == "coref") {
    return std::make_shared<CorefProcessor>(std::move(bundle), verify_checksums);
  }
  if (name == "morphseg") {
    return std::make_shared<MorphSegProcessor>(std::move(bundle), verify_checksums);
  }
  throw ProcessorNotImplementedError("the '" + name +
                                     "' processor is registered but native inference is not "
                                     "implemented");
}

} // namespace detail

} // namespace velmora
