// The sentiment classifier's public face: loading, classification in
// word-budgeted batches, and writing classes into documents.

#include <algorithm>
#include <numeric>
#include <stdexcept>
#include <utility>

#include <ATen/ops/argmax.h>
#include <c10/core/InferenceMode.h>

#include <velmora/json.hpp>

#include "classifiers/sentiment_impl.hpp"

namespace velmora {
namespace {

constexpr std::uint64_t kDefaultBudget = 5000;

// The token texts of every sentence of `document`, appended to `sentences`.
void append_token_texts(const Document& document,
                        std::vector<std::vector<std::string>>& sentences) {
  const SentenceSequence all = document.sentences();
  for (std::uint64_t s = 0; s < all.size(); ++s) {
    const TokenSequence tokens = all.at(static_cast<std::int64_t>(s)).tokens();
    std::vector<std::string>& words = sentences.emplace_back();
    words.reserve(tokens.size());
    for (std::uint64_t t = 0; t < tokens.size(); ++t) {
      words.push_back(tokens.at(static_cast<std::int64_t>(t)).text());
    }
  }
}

void write_classes(const Document& document, const std::vector<std::int64_t>& classes,
                   std::size_t& next) {
  const SentenceSequence all = document.sentences();
  for (std::uint64_t s = 0; s < all.size(); ++s) {
    all.at(static_cast<std::int64_t>(s)).set_sentiment(static_cast<std::int32_t>(classes[next++]));
  }
}

} // namespace

SentimentPlan::SentimentPlan(std::filesystem::path bundle_path, bool verify_checksums) {
  try {
    impl_ = std::make_unique<Impl>(std::move(bundle_path), verify_checksums);
  } catch (const detail::JsonError& error) {
    throw SentimentModelError(error.what());
  }
}

SentimentPlan::~SentimentPlan() = default;
SentimentPlan::SentimentPlan(SentimentPlan&& other) noexcept = default;
SentimentPlan& SentimentPlan::operator=(SentimentPlan&& other) noexcept {
  if (this != &other) {
    impl_ = std::move(other.impl_);
  }
  return *this;
}

const ModelBundle& SentimentPlan::bundle() const {
  return *impl_->bundle;
}

std::int64_t SentimentPlan::classify(const std::vector<std::string>& words) const {
  return impl_->classify_many({words}, kDefaultBudget).front();
}

std::vector<std::int64_t>
SentimentPlan::classify_many(const std::vector<std::vector<std::string>>& sentences,
                             std::uint64_t batch_size) const {
  return impl_->classify_many(sentences, batch_size);
}

Document SentimentPlan::process(Document document) const {
  std::vector<std::vector<std::string>> sentences;
  append_token_texts(document, sentences);
  const std::vector<std::int64_t> classes = impl_->classify_many(sentences, kDefaultBudget);
  std::size_t next = 0;
  write_classes(document, classes, next);
  return document;
}

std::vector<Document> SentimentPlan::process_bulk(std::vector<Document> documents) const {
  std::vector<std::vector<std::string>> sentences;
  for (const Document& document : documents) {
    append_token_texts(document, sentences);
  }
  const std::vector<std::int64_t> classes = impl_->classify_many(sentences, kDefaultBudget);
  std::size_t next = 0;
  for (const Document& document : documents) {
    write_classes(document, classes, next);
  }
  return documents;
}

std::vector<std::int64_t>
SentimentPlan::Impl::classify_many(const std::vector<std::vector<std::string>>& sentences,
                                   std::uint64_t batch_size) const {
  if (batch_size == 0) {
    throw std::invalid_argument("sentiment batch_size must be positive");
  }
  if (sentences.empty()) {
    return {};
  }
  c10::InferenceMode guard;
  std::vector<std::size_t> order(sentences.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return sentences[a].size() > sentences[b].size();
  });

  std::vector<std::int64_t> classes(sentences.size(), 0);
  std::size_t start = 0;
  while (start < order.size()) {
    // A sentence joins while its words fit in what is left of the budget
    // (sentences without words always do); one longer than the budget runs
    // alone.
    std::size_t end = start + 1;
    std::uint64_t total = sentences[order[start]].size();
    if (total <= batch_size) {
      while (end < order.size() && sentences[order[end]].size() <= batch_size - total) {
        total += sentences[order[end]].size();
        ++end;
      }
    }
    std::vector<std::vector<std::string>> batch;
    batch.reserve(end - start);
    for (std::size_t j = start; j < end; ++j) {
      batch.push_back(sentences[order[j]]);
    }
    const at::Tensor best = at::argmax(forward(batch), 1).to(at::kLong).contiguous();
    const std::int64_t* values = best.const_data_ptr<std::int64_t>();
    for (std::size_t j = start; j < end; ++j) {
      classes[order[j]] = values[j - start];
    }
    start = end;
  }
  return classes;
}

} // namespace velmora
