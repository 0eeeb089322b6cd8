#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <velmora/constituency_tree.hpp>
#include <velmora/processor.hpp>

namespace velmora {

class LangIDPlan;
class TokenizerPlan;
class MWTPlan;
class POSPlan;
class LemmaPlan;
class DepparsePlan;
class NERPlan;
class SentimentPlan;
class ConstituencyPlan;
class CorefPlan;
class MorphSegPlan;

// A stage that may own a model (its plan). Without one it is still a valid
// pipeline member: implemented() is false and every operation needing the
// model refuses. Processing forwards to the plan's entry of the same kind
// where the plan has one: a plan without a batched entry takes a list
// document by document, and one without a pipeline-call entry runs in a call
// as it runs alone. Defined, and instantiated for the eleven plans, in
// processors.cpp.
template <class Plan> class PlannedProcessor : public Processor {
public:
  bool implemented() const override { return plan_ != nullptr; }
  // The plan's bundle directory; empty without a plan.
  std::optional<std::filesystem::path> bundle_path() const { return bundle_path_; }
  // The loaded model; null without one.
  const Plan* plan() const { return plan_.get(); }

  Document process(Document document) const override;
  std::vector<Document> process_bulk(std::vector<Document> documents) const override;
  Document process_in_call(Document document, detail::PipelineCall& call) const override;
  std::vector<Document> process_bulk_in_call(std::vector<Document> documents,
                                             detail::PipelineCall& call) const override;

protected:
  // The registry row of `name`, without a model.
  explicit PlannedProcessor(const std::string& name);
  // The registry row of `name` over the plan loaded from `bundle`; whatever
  // the plan's constructor throws leaves no processor.
  PlannedProcessor(const std::string& name, std::filesystem::path bundle, bool verify_checksums);

  // For direct methods: the plan, or ProcessorNotImplementedError
  // "the '<name>' processor has no loaded model bundle".
  const Plan& require_plan() const {
    if (!plan_) {
      throw ProcessorNotImplementedError("the '" + name() +
                                         "' processor has no loaded model bundle");
    }
    return *plan_;
  }

  std::shared_ptr<Plan> plan_;

private:
  std::optional<std::filesystem::path> bundle_path_;
};

extern template class PlannedProcessor<LangIDPlan>;
extern template class PlannedProcessor<TokenizerPlan>;
extern template class PlannedProcessor<MWTPlan>;
extern template class PlannedProcessor<POSPlan>;
extern template class PlannedProcessor<LemmaPlan>;
extern template class PlannedProcessor<DepparsePlan>;
extern template class PlannedProcessor<NERPlan>;
extern template class PlannedProcessor<SentimentPlan>;
extern template class PlannedProcessor<ConstituencyPlan>;
extern template class PlannedProcessor<CorefPlan>;
extern template class PlannedProcessor<MorphSegPlan>;

// Sets a document's language from its whole text. A subset restricts the
// answers to the languages it names; one naming none of the model's is
// accepted here and refused by every identification.
class LangIDProcessor final : public PlannedProcessor<LangIDPlan> {
public:
  LangIDProcessor();
  LangIDProcessor(std::filesystem::path bundle, bool verify_checksums,
                  std::vector<std::string> language_subset);

  Document process(Document document) const override;
  std::vector<Document> process_bulk(std::vector<Document> documents) const override;
  std::string identify(const std::string& text) const;
  std::vector<std::string> identify_many(const std::vector<std::string>& texts) const;
  const std::vector<std::string>& language_subset() const { return language_subset_; }

private:
  std::vector<std::string> language_subset_;
};

class TokenizeProcessor final : public PlannedProcessor<TokenizerPlan> {
public:
  TokenizeProcessor();
  TokenizeProcessor(std::filesystem::path bundle, bool verify_checksums);

  // One label per character of `text` (0 inside a token, 1 token end, 2 token
  // and sentence end, 3 multi-word token end, 4 multi-word token and sentence
  // end).
  std::vector<std::int64_t> predict_labels(const std::string& text) const;
};

// Expands document by document: the expander has no batched entry.
class MWTProcessor final : public PlannedProcessor<MWTPlan> {
public:
  MWTProcessor();
  MWTProcessor(std::filesystem::path bundle, bool verify_checksums);

  std::string expand(const std::string& token) const;
};

class POSProcessor final : public PlannedProcessor<POSPlan> {
public:
  POSProcessor();
  POSProcessor(std::filesystem::path bundle, bool verify_checksums);
};

// Over a model that reads part-of-speech tags, also requires "pos".
class LemmaProcessor final : public PlannedProcessor<LemmaPlan> {
public:
  LemmaProcessor();
  LemmaProcessor(std::filesystem::path bundle, bool verify_checksums);

  std::string lemmatize(const std::string& word, const std::optional<std::string>& upos) const;
};

class DepparseProcessor final : public PlannedProcessor<DepparsePlan> {
public:
  DepparseProcessor();
  DepparseProcessor(std::filesystem::path bundle, bool verify_checksums);
};

// Tags the sentences of all documents of process_bulk in one batch.
class NERProcessor final : public PlannedProcessor<NERPlan> {
public:
  NERProcessor();
  NERProcessor(std::filesystem::path bundle, bool verify_checksums);

  // One BIOES tag per word of one sentence.
  std::vector<std::string> tag(const std::vector<std::string>& words) const;
};

// Gives every sentence a class from its token texts. Sentences are batched,
// across documents in process_bulk, and a class can depend on its batch.
class SentimentProcessor final : public PlannedProcessor<SentimentPlan> {
public:
  SentimentProcessor();
  SentimentProcessor(std::filesystem::path bundle, bool verify_checksums);

  std::int64_t classify(const std::vector<std::string>& words) const;
  // `batch_size` counts words; 0 is refused by the plan.
  std::vector<std::int64_t> classify_many(const std::vector<std::vector<std::string>>& sentences,
                                          std::uint64_t batch_size) const;
};

class ConstituencyProcessor final : public PlannedProcessor<ConstituencyPlan> {
public:
  ConstituencyProcessor();
  ConstituencyProcessor(std::filesystem::path bundle, bool verify_checksums);

  // Whether the model reads XPOS (else UPOS) tags.
  bool uses_xpos() const;
  ConstituencyTree parse(const std::vector<std::string>& words,
                         const std::vector<std::string>& tags) const;
  std::vector<ConstituencyTree> parse_many(const std::vector<std::vector<std::string>>& words,
                                           const std::vector<std::vector<std::string>>& tags) const;
};

class CorefProcessor final : public PlannedProcessor<CorefPlan> {
public:
  CorefProcessor();
  CorefProcessor(std::filesystem::path bundle, bool verify_checksums);

  bool predicts_singletons() const;
  bool predicts_zero_anaphora() const;
};

class MorphSegProcessor final : public PlannedProcessor<MorphSegPlan> {
public:
  MorphSegProcessor();
  MorphSegProcessor(std::filesystem::path bundle, bool verify_checksums);

  std::vector<std::string> segment(const std::string& word) const;
  std::vector<std::vector<std::string>> segment_many(const std::vector<std::string>& words) const;
};

namespace detail {

// Builds the registered stage `name` over the bundle at `bundle`. Stages whose
// model this library cannot run yet refuse with ProcessorNotImplementedError.
std::shared_ptr<Processor> make_processor_from_bundle(const std::string& name,
                                                      std::filesystem::path bundle,
                                                      bool verify_checksums,
                                                      std::vector<std::string> langid_lang_subset);

// Whether `name` is one of the eleven registry names (exact bytes).
bool is_registered_processor(const std::string& name);

} // namespace detail

} // namespace velmora
