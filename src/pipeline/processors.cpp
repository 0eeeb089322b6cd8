#include <velmora/processors.hpp>

#include <concepts>

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

#include "encoders/bulk_slices.hpp"

namespace velmora {

namespace detail {
ProcessorSpec registry_spec(const std::string& name);
} // namespace detail

namespace {

// The entries a plan may offer besides its direct methods.
template <class Plan>
concept ProcessesDocuments = requires(const Plan& plan, Document document) {
  { plan.process(std::move(document)) } -> std::same_as<Document>;
};

template <class Plan>
concept ProcessesLists = requires(const Plan& plan, std::vector<Document> documents) {
  { plan.process_bulk(std::move(documents)) } -> std::same_as<std::vector<Document>>;
};

template <class Plan>
concept JoinsPipelineCalls = requires(const Plan& plan, Document document,
                                      std::vector<Document> documents, detail::PipelineCall* call) {
  { plan.process(std::move(document), call) } -> std::same_as<Document>;
  { plan.process_bulk(std::move(documents), call) } -> std::same_as<std::vector<Document>>;
};

// A plan entry whose signature drifted would quietly turn a batched stage
// into a one-by-one one, or a stage sharing work into one computing alone.
static_assert(ProcessesDocuments<TokenizerPlan> && ProcessesDocuments<MWTPlan> &&
              ProcessesDocuments<POSPlan> && ProcessesDocuments<LemmaPlan> &&
              ProcessesDocuments<DepparsePlan> && ProcessesDocuments<NERPlan> &&
              ProcessesDocuments<SentimentPlan> && ProcessesDocuments<ConstituencyPlan> &&
              ProcessesDocuments<CorefPlan> && ProcessesDocuments<MorphSegPlan>);
static_assert(ProcessesLists<TokenizerPlan> && ProcessesLists<POSPlan> &&
              ProcessesLists<LemmaPlan> && ProcessesLists<DepparsePlan> &&
              ProcessesLists<NERPlan> && ProcessesLists<SentimentPlan> &&
              ProcessesLists<ConstituencyPlan> && ProcessesLists<CorefPlan> &&
              ProcessesLists<MorphSegPlan>);
static_assert(JoinsPipelineCalls<POSPlan> && JoinsPipelineCalls<DepparsePlan>);

} // namespace

// Every stage is also constructible without a model, so that a pipeline can
// be configured and validated without loading any.
template <class Plan>
PlannedProcessor<Plan>::PlannedProcessor(const std::string& name)
    : Processor(detail::registry_spec(name)) {}

template <class Plan>
PlannedProcessor<Plan>::PlannedProcessor(const std::string& name, std::filesystem::path bundle,
                                         bool verify_checksums)
    : PlannedProcessor(name) {
  plan_ = std::make_shared<Plan>(std::move(bundle), verify_checksums);
  bundle_path_ = plan_->bundle().path();
}

// Without a plan each operation falls to the base, which refuses every
// document with the registry's "not implemented" message.
template <class Plan> Document PlannedProcessor<Plan>::process(Document document) const {
  const detail::BulkCallScope call_scope;
  if constexpr (ProcessesDocuments<Plan>) {
    if (plan_) {
      return plan_->process(std::move(document));
    }
  }
  return Processor::process(std::move(document));
}

template <class Plan>
std::vector<Document> PlannedProcessor<Plan>::process_bulk(std::vector<Document> documents) const {
  const detail::BulkCallScope call_scope;
  if constexpr (ProcessesLists<Plan>) {
    if (plan_) {
      return plan_->process_bulk(std::move(documents));
    }
  }
  return Processor::process_bulk(std::move(documents));
}

template <class Plan>
Document PlannedProcessor<Plan>::process_in_call(Document document,
                                                 detail::PipelineCall& call) const {
  if constexpr (JoinsPipelineCalls<Plan>) {
    if (plan_) {
      return plan_->process(std::move(document), &call);
    }
  }
  return Processor::process_in_call(std::move(document), call);
}

template <class Plan>
std::vector<Document>
PlannedProcessor<Plan>::process_bulk_in_call(std::vector<Document> documents,
                                             detail::PipelineCall& call) const {
  if constexpr (JoinsPipelineCalls<Plan>) {
    if (plan_) {
      return plan_->process_bulk(std::move(documents), &call);
    }
  }
  return Processor::process_bulk_in_call(std::move(documents), call);
}

template class PlannedProcessor<LangIDPlan>;
template class PlannedProcessor<TokenizerPlan>;
template class PlannedProcessor<MWTPlan>;
template class PlannedProcessor<POSPlan>;
template class PlannedProcessor<LemmaPlan>;
template class PlannedProcessor<DepparsePlan>;
template class PlannedProcessor<NERPlan>;
template class PlannedProcessor<SentimentPlan>;
template class PlannedProcessor<ConstituencyPlan>;
template class PlannedProcessor<CorefPlan>;
template class PlannedProcessor<MorphSegPlan>;

LangIDProcessor::LangIDProcessor() : PlannedProcessor("langid") {}
LangIDProcessor::LangIDProcessor(std::filesystem::path bundle, bool verify_checksums,
                                 std::vector<std::string> language_subset)
    : PlannedProcessor("langid", std::move(bundle), verify_checksums),
      language_subset_(std::move(language_subset)) {}

// The identifier reads the whole text and writes only the language, so it
// has no document entry of its own.
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

TokenizeProcessor::TokenizeProcessor() : PlannedProcessor("tokenize") {}
TokenizeProcessor::TokenizeProcessor(std::filesystem::path bundle, bool verify_checksums)
    : PlannedProcessor("tokenize", std::move(bundle), verify_checksums) {}

std::vector<std::int64_t> TokenizeProcessor::predict_labels(const std::string& text) const {
  return require_plan().predict_labels(text);
}

MWTProcessor::MWTProcessor() : PlannedProcessor("mwt") {}
MWTProcessor::MWTProcessor(std::filesystem::path bundle, bool verify_checksums)
    : PlannedProcessor("mwt", std::move(bundle), verify_checksums) {}

std::string MWTProcessor::expand(const std::string& token) const {
  return require_plan().expand(token);
}

POSProcessor::POSProcessor() : PlannedProcessor("pos") {}
POSProcessor::POSProcessor(std::filesystem::path bundle, bool verify_checksums)
    : PlannedProcessor("pos", std::move(bundle), verify_checksums) {}

LemmaProcessor::LemmaProcessor() : PlannedProcessor("lemma") {}
LemmaProcessor::LemmaProcessor(std::filesystem::path bundle, bool verify_checksums)
    : PlannedProcessor("lemma", std::move(bundle), verify_checksums) {
  if (plan_->uses_pos()) {
    spec_.requirements = {"tokenize", "pos"};
  }
}

std::string LemmaProcessor::lemmatize(const std::string& word,
                                      const std::optional<std::string>& upos) const {
  return require_plan().lemmatize(word, upos);
}

DepparseProcessor::DepparseProcessor() : PlannedProcessor("depparse") {}
DepparseProcessor::DepparseProcessor(std::filesystem::path bundle, bool verify_checksums)
    : PlannedProcessor("depparse", std::move(bundle), verify_checksums) {}

NERProcessor::NERProcessor() : PlannedProcessor("ner") {}
NERProcessor::NERProcessor(std::filesystem::path bundle, bool verify_checksums)
    : PlannedProcessor("ner", std::move(bundle), verify_checksums) {}

std::vector<std::string> NERProcessor::tag(const std::vector<std::string>& words) const {
  return require_plan().tag(words);
}

SentimentProcessor::SentimentProcessor() : PlannedProcessor("sentiment") {}
SentimentProcessor::SentimentProcessor(std::filesystem::path bundle, bool verify_checksums)
    : PlannedProcessor("sentiment", std::move(bundle), verify_checksums) {}

std::int64_t SentimentProcessor::classify(const std::vector<std::string>& words) const {
  return require_plan().classify(words);
}

std::vector<std::int64_t>
SentimentProcessor::classify_many(const std::vector<std::vector<std::string>>& sentences,
                                  std::uint64_t batch_size) const {
  return require_plan().classify_many(sentences, batch_size);
}

ConstituencyProcessor::ConstituencyProcessor() : PlannedProcessor("constituency") {}
ConstituencyProcessor::ConstituencyProcessor(std::filesystem::path bundle, bool verify_checksums)
    : PlannedProcessor("constituency", std::move(bundle), verify_checksums) {}

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

CorefProcessor::CorefProcessor() : PlannedProcessor("coref") {}
CorefProcessor::CorefProcessor(std::filesystem::path bundle, bool verify_checksums)
    : PlannedProcessor("coref", std::move(bundle), verify_checksums) {}

bool CorefProcessor::predicts_singletons() const {
  return require_plan().predicts_singletons();
}

bool CorefProcessor::predicts_zero_anaphora() const {
  return require_plan().predicts_zero_anaphora();
}

MorphSegProcessor::MorphSegProcessor() : PlannedProcessor("morphseg") {}
MorphSegProcessor::MorphSegProcessor(std::filesystem::path bundle, bool verify_checksums)
    : PlannedProcessor("morphseg", std::move(bundle), verify_checksums) {}

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
