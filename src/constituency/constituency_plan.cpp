// The constituency parser's public face: loading, parsing word lists, and
// storing trees in documents once every sentence of a document has parsed.

#include <utility>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <velmora/json.hpp>

#include "bundle/tensor_errors.hpp"
#include "constituency/constituency_impl.hpp"

namespace velmora {

ConstituencyPlan::ConstituencyPlan(std::filesystem::path bundle_dir, bool verify_checksums) {
  try {
    impl_ = detail::with_model_errors<ConstituencyModelError>(
        [&] { return std::make_unique<Impl>(std::move(bundle_dir), verify_checksums); });
  } catch (const detail::JsonError& error) {
    throw ConstituencyModelError(error.what());
  }
#if defined(__GLIBC__)
  // The parsed assets (a pretrained vocabulary of 100,000 words is over
  // 10 MB of small nodes) are gone once loading ends, but glibc keeps freed
  // small chunks resident; hand them back so that a loaded parser costs only
  // what it holds.
  malloc_trim(0);
#endif
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
  return detail::with_model_errors<ConstituencyModelError>(
      [&] { return impl_->parse(words, tags); });
}

std::vector<ConstituencyTree>
ConstituencyPlan::parse_many(const std::vector<std::vector<std::string>>& words,
                             const std::vector<std::vector<std::string>>& tags) const {
  if (words.size() != tags.size()) {
    throw ConstituencyModelError("constituency sentence and tag batches have different lengths");
  }
  return detail::with_model_errors<ConstituencyModelError>([&] {
    std::vector<ConstituencyTree> trees;
    trees.reserve(words.size());
    for (std::size_t i = 0; i < words.size(); ++i) {
      trees.push_back(impl_->parse(words[i], tags[i]));
    }
    return trees;
  });
}

Document ConstituencyPlan::process(Document document) const {
  const SentenceSequence sentences = document.sentences();
  std::vector<std::vector<std::string>> words;
  std::vector<std::vector<std::string>> tags;
  words.reserve(sentences.size());
  tags.reserve(sentences.size());
  for (std::uint64_t s = 0; s < sentences.size(); ++s) {
    const WordSequence sentence = sentences.at(static_cast<std::int64_t>(s)).words();
    std::vector<std::string>& texts = words.emplace_back();
    std::vector<std::string>& labels = tags.emplace_back();
    texts.reserve(sentence.size());
    labels.reserve(sentence.size());
    for (std::uint64_t w = 0; w < sentence.size(); ++w) {
      const Word word = sentence.at(static_cast<std::int64_t>(w));
      std::optional<std::string> tag = impl_->uses_xpos ? word.xpos() : word.upos();
      if (!tag) {
        throw ConstituencyModelError(impl_->uses_xpos ? "constituency requires XPOS on every word"
                                                      : "constituency requires UPOS on every word");
      }
      labels.push_back(std::move(*tag));
      texts.push_back(word.text());
    }
  }
  const std::vector<ConstituencyTree> trees = parse_many(words, tags);
  for (std::size_t s = 0; s < trees.size(); ++s) {
    sentences.at(static_cast<std::int64_t>(s)).set_constituency(trees[s]);
  }
  return document;
}

std::vector<Document> ConstituencyPlan::process_bulk(std::vector<Document> documents) const {
  for (Document& document : documents) {
    document = process(std::move(document));
  }
  return documents;
}

} // namespace velmora
