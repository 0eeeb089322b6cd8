// The sentiment classifier's public face: loading, classification in
// word-budgeted batches, and writing classes into documents.

#include <algorithm>
#include <numeric>
#include <stdexcept>
#include <utility>

#include <ATen/ops/argmax.h>
#include <c10/core/InferenceMode.h>

#include <velmora/json.hpp>

#include "bundle/tensor_errors.hpp"
#include "classifiers/sentiment_impl.hpp"
#include "encoders/model_call.hpp"

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

namespace detail {

WordBatches plan_word_batches(const std::vector<std::size_t>& word_counts, std::uint64_t budget) {
  WordBatches plan;
  plan.order.resize(word_counts.size());
  std::iota(plan.order.begin(), plan.order.end(), 0);
  std::stable_sort(plan.order.begin(), plan.order.end(),
                   [&](std::size_t a, std::size_t b) { return word_counts[a] > word_counts[b]; });
  std::size_t start = 0;
  while (start < plan.order.size()) {
    std::size_t end = start + 1;
    std::uint64_t total = word_counts[plan.order[start]];
    if (total <= budget) {
      // `budget - total` cannot wrap: the total never passes the budget.
      while (end < plan.order.size() && word_counts[plan.order[end]] <= budget - total) {
        total += word_counts[plan.order[end]];
        ++end;
      }
    }
    plan.batches.push_back({start, end});
    start = end;
  }
  return plan;
}

} // namespace detail

SentimentPlan::SentimentPlan(std::filesystem::path bundle_path, bool verify_checksums) {
  try {
    impl_ = detail::with_model_errors<SentimentModelError>(
        [&] { return std::make_unique<Impl>(std::move(bundle_path), verify_checksums); });
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
  return classify_many({words}, kDefaultBudget).front();
}

std::vector<std::int64_t>
SentimentPlan::classify_many(const std::vector<std::vector<std::string>>& sentences,
                             std::uint64_t batch_size) const {
  return detail::model_call<SentimentModelError>(
      [&] { return impl_->classify_many(sentences, batch_size); });
}

Document SentimentPlan::process(Document document) const {
  std::vector<std::vector<std::string>> sentences;
  append_token_texts(document, sentences);
  const std::vector<std::int64_t> classes = classify_many(sentences, kDefaultBudget);
  std::size_t next = 0;
  write_classes(document, classes, next);
  return document;
}

std::vector<Document> SentimentPlan::process_bulk(std::vector<Document> documents) const {
  std::vector<std::vector<std::string>> sentences;
  for (const Document& document : documents) {
    append_token_texts(document, sentences);
  }
  const std::vector<std::int64_t> classes = classify_many(sentences, kDefaultBudget);
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
  std::vector<std::size_t> counts(sentences.size());
  for (std::size_t i = 0; i < sentences.size(); ++i) {
    counts[i] = sentences[i].size();
  }
  const detail::WordBatches plan = detail::plan_word_batches(counts, batch_size);

  c10::InferenceMode guard;
  std::vector<std::int64_t> classes(sentences.size(), 0);
  // Each batch is one unit of the team.
  detail::for_each_unit(plan.batches.size(), [&](std::size_t unit) {
    const detail::BatchRange& range = plan.batches[unit];
    std::vector<std::vector<std::string>> batch;
    batch.reserve(range.end - range.begin);
    for (std::size_t j = range.begin; j < range.end; ++j) {
      batch.push_back(sentences[plan.order[j]]);
    }
    const at::Tensor best = at::argmax(forward(batch), 1).to(at::kLong).contiguous();
    const std::int64_t* values = best.const_data_ptr<std::int64_t>();
    for (std::size_t j = range.begin; j < range.end; ++j) {
      classes[plan.order[j]] = values[j - range.begin];
    }
  });
  return classes;
}

} // namespace velmora
