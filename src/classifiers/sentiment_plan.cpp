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
#include "encoders/bulk_slices.hpp"
#include "encoders/model_call.hpp"

namespace velmora {
namespace {

constexpr std::uint64_t kDefaultBudget = 5000;

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
  const SentenceSequence all = document.sentences();
  std::vector<std::vector<std::string>> sentences;
  sentences.reserve(all.size());
  for (std::uint64_t s = 0; s < all.size(); ++s) {
    sentences.push_back(detail::sequence_texts(all.at(static_cast<std::int64_t>(s)).tokens()));
  }
  const std::vector<std::int64_t> classes = classify_many(sentences, kDefaultBudget);
  for (std::uint64_t s = 0; s < all.size(); ++s) {
    all.at(static_cast<std::int64_t>(s)).set_sentiment(static_cast<std::int32_t>(classes[s]));
  }
  return document;
}

std::vector<Document> SentimentPlan::process_bulk(std::vector<Document> documents) const {
  const detail::BulkCallScope bulk_call;
  std::vector<Sentence> views;
  std::vector<std::size_t> counts;
  for (const Document& document : documents) {
    const SentenceSequence all = document.sentences();
    for (std::uint64_t s = 0; s < all.size(); ++s) {
      views.push_back(all.at(static_cast<std::int64_t>(s)));
      counts.push_back(views.back().tokens().size());
    }
  }
  if (views.empty()) {
    return documents;
  }
  // A class depends on the sentences batched with it, so the batches are
  // planned over the whole call, as one classify_many over every sentence
  // plans them; slices are runs of whole batches, and only a slice's token
  // texts are read at a time. Nothing is written until every class is known.
  const detail::WordBatches plan = detail::plan_word_batches(counts, kDefaultBudget);
  std::vector<std::size_t> batch_words;
  batch_words.reserve(plan.batches.size());
  for (const detail::BatchRange& batch : plan.batches) {
    batch_words.push_back(0);
    for (std::size_t j = batch.begin; j < batch.end; ++j) {
      batch_words.back() += counts[plan.order[j]];
    }
  }
  std::vector<std::int64_t> classes(views.size(), 0);
  detail::model_call<SentimentModelError>([&] {
    for (const detail::BatchRange& slice : detail::plan_bulk_slices(batch_words)) {
      const std::size_t first = plan.batches[slice.begin].begin;
      std::vector<std::vector<std::string>> texts;
      texts.reserve(plan.batches[slice.end - 1].end - first);
      for (std::size_t j = first; j < plan.batches[slice.end - 1].end; ++j) {
        texts.push_back(detail::sequence_texts(views[plan.order[j]].tokens()));
      }
      impl_->classify_batches(
          plan, slice.begin, slice.end,
          [&](std::size_t j) -> const std::vector<std::string>& { return texts[j - first]; },
          classes);
    }
  });
  for (std::size_t s = 0; s < views.size(); ++s) {
    views[s].set_sentiment(static_cast<std::int32_t>(classes[s]));
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
  std::vector<std::int64_t> classes(sentences.size(), 0);
  classify_batches(
      plan, 0, plan.batches.size(),
      [&](std::size_t j) -> const std::vector<std::string>& { return sentences[plan.order[j]]; },
      classes);
  return classes;
}

void SentimentPlan::Impl::classify_batches(
    const detail::WordBatches& plan, std::size_t first, std::size_t end,
    const std::function<const std::vector<std::string>&(std::size_t)>& sentence,
    std::vector<std::int64_t>& classes) const {
  c10::InferenceMode guard;
  // Each batch is one unit of the team.
  detail::for_each_unit(end - first, [&](std::size_t unit) {
    const detail::BatchRange& range = plan.batches[first + unit];
    std::vector<std::vector<std::string>> batch;
    batch.reserve(range.end - range.begin);
    for (std::size_t j = range.begin; j < range.end; ++j) {
      batch.push_back(sentence(j));
    }
    const at::Tensor best = at::argmax(forward(batch), 1).to(at::kLong).contiguous();
    const std::int64_t* values = best.const_data_ptr<std::int64_t>();
    for (std::size_t j = range.begin; j < range.end; ++j) {
      classes[plan.order[j]] = values[j - range.begin];
    }
  });
}

} // namespace velmora
