// The entity tagger's public face: loading, tagging word lists, and writing
// tags and entity spans into documents.

#include <algorithm>
#include <exception>
#include <utility>

#include <c10/core/InferenceMode.h>

#include <velmora/json.hpp>

#include "bundle/tensor_errors.hpp"
#include "encoders/bulk_slices.hpp"
#include "encoders/calling_thread.hpp"
#include "encoders/model_call.hpp"
#include "taggers/ner_impl.hpp"

namespace velmora {
namespace {

// Sentences are tagged in groups of about this many words: enough for the
// character models' batches to fill, few enough that a huge document never
// holds all its feature rows at once.
constexpr std::size_t kGroupWords = 4096;

// Groups of consecutive sentences of `words` words each: a group takes
// sentences until it holds kGroupWords words.
std::vector<detail::BatchRange> sentence_groups(const std::vector<std::size_t>& words) {
  std::vector<detail::BatchRange> groups;
  for (std::size_t first = 0; first < words.size();) {
    std::size_t end = first;
    std::size_t total = 0;
    while (end < words.size() && (end == first || total < kGroupWords)) {
      total += words[end++];
    }
    groups.push_back({first, end});
    first = end;
  }
  return groups;
}

} // namespace

NERPlan::NERPlan(std::filesystem::path bundle_path, bool verify_checksums) {
  try {
    impl_ = detail::with_model_errors<NERModelError>(
        [&] { return std::make_unique<Impl>(std::move(bundle_path), verify_checksums); });
  } catch (const detail::JsonError& error) {
    throw NERModelError(error.what());
  }
}

NERPlan::~NERPlan() = default;
NERPlan::NERPlan(NERPlan&& other) noexcept = default;
NERPlan& NERPlan::operator=(NERPlan&& other) noexcept {
  if (this != &other) {
    impl_ = std::move(other.impl_);
  }
  return *this;
}

const ModelBundle& NERPlan::bundle() const {
  return *impl_->bundle;
}

std::vector<std::string> NERPlan::tag(const std::vector<std::string>& words) const {
  return detail::model_call<NERModelError>([&] { return impl_->tag_words(words); });
}

namespace {

// The token views and token texts of a document's sentences, appended.
void collect_sentences(const Document& document, std::vector<TokenSequence>& views,
                       std::vector<std::vector<std::string>>& texts) {
  const SentenceSequence sentences = document.sentences();
  for (std::uint64_t s = 0; s < sentences.size(); ++s) {
    views.push_back(sentences.at(static_cast<std::int64_t>(s)).tokens());
    texts.push_back(detail::sequence_texts(views.back()));
  }
}

// Writes the tags of sentences [first, end) into their tokens.
void write_tags(const std::vector<TokenSequence>& views,
                const std::vector<std::vector<std::string>>& tags, std::size_t first,
                std::size_t end) {
  for (std::size_t s = first; s < end; ++s) {
    for (std::size_t t = 0; t < tags[s].size(); ++t) {
      Token token = views[s].at(static_cast<std::int64_t>(t));
      token.set_ner(tags[s][t]);
      token.set_multi_ner({tags[s][t]});
    }
  }
}

} // namespace

Document NERPlan::process(Document document) const {
  std::vector<TokenSequence> views;
  std::vector<std::vector<std::string>> texts;
  collect_sentences(document, views, texts);
  const std::vector<std::vector<std::string>> tags =
      detail::model_call<NERModelError>([&] { return impl_->tag_sentences(texts); });
  write_tags(views, tags, 0, views.size());
  document.rebuild_entities();
  return document;
}

std::vector<Document> NERPlan::process_bulk(std::vector<Document> documents) const {
  const detail::BulkCallScope bulk_call;
  std::vector<TokenSequence> views;
  std::vector<std::size_t> counts;
  std::vector<std::size_t> ends; // one past each document's last sentence
  ends.reserve(documents.size());
  for (const Document& document : documents) {
    const SentenceSequence sentences = document.sentences();
    for (std::uint64_t s = 0; s < sentences.size(); ++s) {
      views.push_back(sentences.at(static_cast<std::int64_t>(s)).tokens());
      counts.push_back(views.back().size());
    }
    ends.push_back(views.size());
  }
  // Slices of whole groups, so that each slice groups its sentences as a
  // run over the whole call does; nothing is written until every tag is
  // computed.
  const std::vector<detail::BatchRange> groups = sentence_groups(counts);
  std::vector<std::size_t> group_words;
  group_words.reserve(groups.size());
  for (const detail::BatchRange& group : groups) {
    group_words.push_back(0);
    for (std::size_t s = group.begin; s < group.end; ++s) {
      group_words.back() += counts[s];
    }
  }
  std::vector<std::vector<std::string>> tags(views.size());
  try {
    detail::model_call<NERModelError>([&] {
      for (const detail::BatchRange& slice : detail::plan_bulk_slices(group_words)) {
        const std::size_t first = groups[slice.begin].begin;
        const std::size_t end = groups[slice.end - 1].end;
        std::vector<std::vector<std::string>> texts;
        texts.reserve(end - first);
        for (std::size_t s = first; s < end; ++s) {
          texts.push_back(detail::sequence_texts(views[s]));
        }
        std::vector<std::vector<std::string>> slice_tags = impl_->tag_sentences(texts);
        std::move(slice_tags.begin(), slice_tags.end(),
                  tags.begin() + static_cast<std::ptrdiff_t>(first));
      }
    });
  } catch (const std::exception&) {
    // Document by document, so that the documents before the failing one
    // keep their tags and the same error propagates.
    for (Document& document : documents) {
      document = process(std::move(document));
    }
    return documents;
  }
  std::size_t first = 0;
  for (std::size_t d = 0; d < documents.size(); ++d) {
    write_tags(views, tags, first, ends[d]);
    documents[d].rebuild_entities();
    first = ends[d];
  }
  return documents;
}

std::vector<std::string> NERPlan::Impl::tag_words(const std::vector<std::string>& words) const {
  if (words.empty()) {
    return {};
  }
  return tag_sentences({words}).front();
}

std::vector<std::vector<std::string>>
NERPlan::Impl::tag_sentences(const std::vector<std::vector<std::string>>& sentences) const {
  c10::InferenceMode guard;
  // Groups of consecutive sentences of about kGroupWords words, each one
  // unit of the team (a lone group spreads its own units instead).
  std::vector<std::size_t> words(sentences.size());
  for (std::size_t s = 0; s < sentences.size(); ++s) {
    words[s] = sentences[s].size();
  }
  const std::vector<detail::BatchRange> groups = sentence_groups(words);
  std::vector<std::vector<std::string>> tags(sentences.size());
  detail::for_each_unit(groups.size(), [&](std::size_t g) {
    const auto [first, end] = groups[g];
    const std::vector<std::vector<std::string>> group(
        sentences.begin() + static_cast<std::ptrdiff_t>(first),
        sentences.begin() + static_cast<std::ptrdiff_t>(end));
    std::vector<std::int64_t> lengths;
    std::int64_t rows = 0;
    for (const auto& sentence : group) {
      lengths.push_back(static_cast<std::int64_t>(sentence.size()));
      rows += lengths.back();
    }
    if (rows == 0) {
      return;
    }
    // The heads run over the rows of all the group's sentences at once; the
    // search runs sentence by sentence.
    const at::Tensor emissions = emission_scores(run_tagger(build_features(group), lengths));
    std::int64_t row = 0;
    for (std::size_t s = 0; s < group.size(); ++s) {
      if (lengths[s] > 0) {
        tags[first + s] = decode(emissions.narrow(0, row, lengths[s]));
        row += lengths[s];
      }
    }
  });
  return tags;
}

} // namespace velmora
