// The constituency parser's public face: loading, parsing word lists, and
// storing trees in documents once every sentence of a document has parsed.

#include <exception>
#include <utility>

#include <velmora/json.hpp>

#include "bundle/tensor_errors.hpp"
#include "constituency/constituency_impl.hpp"
#include "document/released_memory.hpp"
#include "encoders/bulk_slices.hpp"
#include "encoders/model_call.hpp"

namespace velmora {
namespace {

// Appends each sentence's regular words and the tags the parser reads.
void sentence_inputs(const Document& document, bool uses_xpos,
                     std::vector<std::vector<std::string>>& words,
                     std::vector<std::vector<std::string>>& tags) {
  const SentenceSequence sentences = document.sentences();
  for (std::uint64_t s = 0; s < sentences.size(); ++s) {
    const WordSequence sentence = sentences.at(static_cast<std::int64_t>(s)).words();
    std::vector<std::string>& texts = words.emplace_back();
    std::vector<std::string>& labels = tags.emplace_back();
    texts.reserve(sentence.size());
    labels.reserve(sentence.size());
    for (std::uint64_t w = 0; w < sentence.size(); ++w) {
      const Word word = sentence.at(static_cast<std::int64_t>(w));
      std::optional<std::string> tag = uses_xpos ? word.xpos() : word.upos();
      if (!tag) {
        throw ConstituencyModelError(uses_xpos ? "constituency requires XPOS on every word"
                                               : "constituency requires UPOS on every word");
      }
      labels.push_back(std::move(*tag));
      texts.push_back(word.text());
    }
  }
}

} // namespace

ConstituencyPlan::ConstituencyPlan(std::filesystem::path bundle_dir, bool verify_checksums) {
  try {
    impl_ = detail::with_model_errors<ConstituencyModelError>(
        [&] { return std::make_unique<Impl>(std::move(bundle_dir), verify_checksums); });
  } catch (const detail::JsonError& error) {
    throw ConstituencyModelError(error.what());
  }
  // The parsed assets (a pretrained vocabulary of 100,000 words is over
  // 10 MB of small nodes) are gone once loading ends, but glibc keeps freed
  // small chunks resident; hand them back so that a loaded parser costs only
  // what it holds.
  detail::release_cached_memory();
}

ConstituencyPlan::~ConstituencyPlan() = default;
ConstituencyPlan::ConstituencyPlan(ConstituencyPlan&& other) noexcept = default;
ConstituencyPlan& ConstituencyPlan::operator=(ConstituencyPlan&& other) noexcept {
  if (this != &other) {
    impl_ = std::move(other.impl_);
  }
  return *this;
}

const ModelBundle& ConstituencyPlan::bundle() const {
  return *impl_->bundle;
}

bool ConstituencyPlan::uses_xpos() const {
  return impl_->uses_xpos;
}

ConstituencyTree ConstituencyPlan::parse(const std::vector<std::string>& words,
                                         const std::vector<std::string>& tags) const {
  return detail::model_call<ConstituencyModelError>([&] { return impl_->parse(words, tags); });
}

std::vector<ConstituencyTree>
ConstituencyPlan::parse_many(const std::vector<std::vector<std::string>>& words,
                             const std::vector<std::vector<std::string>>& tags) const {
  if (words.size() != tags.size()) {
    throw ConstituencyModelError("constituency sentence and tag batches have different lengths");
  }
  std::vector<ConstituencyTree> trees;
  trees.reserve(words.size());
  for (Impl::ParseOutcome& outcome :
       detail::model_call<ConstituencyModelError>([&] { return impl_->parse_each(words, tags); })) {
    if (outcome.error) {
      std::rethrow_exception(outcome.error);
    }
    trees.push_back(std::move(*outcome.tree));
  }
  return trees;
}

Document ConstituencyPlan::process(Document document) const {
  std::vector<std::vector<std::string>> words;
  std::vector<std::vector<std::string>> tags;
  sentence_inputs(document, impl_->uses_xpos, words, tags);
  const std::vector<ConstituencyTree> trees = parse_many(words, tags);
  const SentenceSequence sentences = document.sentences();
  for (std::size_t s = 0; s < trees.size(); ++s) {
    sentences.at(static_cast<std::int64_t>(s)).set_constituency(trees[s]);
  }
  return document;
}

std::vector<Document> ConstituencyPlan::process_bulk(std::vector<Document> documents) const {
  const detail::BulkCallScope bulk_call;
  std::vector<std::size_t> counts;
  counts.reserve(documents.size());
  for (const Document& document : documents) {
    counts.push_back(document.words().size());
  }
  // A slice of documents at a time, the sentences of a slice sharing the
  // team at once; the trees are then stored document by document, in order,
  // up to the first document that failed, as if the documents had been
  // processed one after another.
  for (const detail::BatchRange& slice : detail::plan_bulk_slices(counts)) {
    std::vector<std::vector<std::string>> words;
    std::vector<std::vector<std::string>> tags;
    std::vector<std::size_t> first;
    std::exception_ptr input_error;
    for (std::size_t d = slice.begin; d < slice.end; ++d) {
      first.push_back(words.size());
      try {
        sentence_inputs(documents[d], impl_->uses_xpos, words, tags);
      } catch (...) {
        input_error = std::current_exception();
        words.resize(first.back());
        tags.resize(first.back());
        first.pop_back();
        break;
      }
    }
    first.push_back(words.size());
    const std::vector<Impl::ParseOutcome> outcomes =
        detail::model_call<ConstituencyModelError>([&] { return impl_->parse_each(words, tags); });
    for (std::size_t k = 0; k + 1 < first.size(); ++k) {
      for (std::size_t s = first[k]; s < first[k + 1]; ++s) {
        if (outcomes[s].error) {
          std::rethrow_exception(outcomes[s].error);
        }
      }
      const SentenceSequence sentences = documents[slice.begin + k].sentences();
      for (std::size_t s = first[k]; s < first[k + 1]; ++s) {
        sentences.at(static_cast<std::int64_t>(s - first[k])).set_constituency(*outcomes[s].tree);
      }
    }
    if (input_error) {
      std::rethrow_exception(input_error);
    }
  }
  return documents;
}

} // namespace velmora
