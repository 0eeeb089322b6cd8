// The tagger's public face: loading, tagging word lists, and writing tags
// into documents one sentence at a time or in shared batches.

#include <algorithm>
#include <utility>

#include <ATen/ops/cat.h>
#include <c10/core/InferenceMode.h>

#include <velmora/json.hpp>

#include "bundle/tensor_errors.hpp"
#include "encoders/bulk_slices.hpp"
#include "encoders/model_call.hpp"
#include "pipeline/pipeline_call.hpp"
#include "taggers/pos_impl.hpp"

namespace velmora {

POSPlan::POSPlan(std::filesystem::path bundle_path, bool verify_checksums) {
  try {
    impl_ = detail::with_model_errors<POSModelError>(
        [&] { return std::make_unique<Impl>(std::move(bundle_path), verify_checksums); });
  } catch (const detail::JsonError& error) {
    throw POSModelError(error.what());
  }
}

POSPlan::~POSPlan() = default;
POSPlan::POSPlan(POSPlan&& other) noexcept = default;
POSPlan& POSPlan::operator=(POSPlan&& other) noexcept {
  if (this != &other) {
    impl_ = std::move(other.impl_);
  }
  return *this;
}

const ModelBundle& POSPlan::bundle() const {
  return *impl_->bundle;
}

const POSPlan::Impl& POSPlan::impl() const {
  return *impl_;
}

std::vector<POSTags> POSPlan::tag(const std::vector<std::string>& words) const {
  return detail::model_call<POSModelError>([&] { return impl_->tag_words(words); });
}

Document POSPlan::process(Document document) const {
  return process(std::move(document), nullptr);
}

std::vector<Document> POSPlan::process_bulk(std::vector<Document> documents) const {
  const detail::BulkCallScope bulk_call;
  return process_bulk(std::move(documents), nullptr);
}

Document POSPlan::process(Document document, detail::PipelineCall* call) const {
  std::vector<Document> one;
  one.push_back(std::move(document));
  return std::move(process_bulk(std::move(one), call).front());
}

std::vector<Document> POSPlan::process_bulk(std::vector<Document> documents,
                                            detail::PipelineCall* call) const {
  std::vector<WordSequence> views;
  std::vector<std::size_t> counts;
  for (const Document& document : documents) {
    const SentenceSequence sentences = document.sentences();
    for (std::uint64_t i = 0; i < sentences.size(); ++i) {
      views.push_back(sentences.at(static_cast<std::int64_t>(i)).words());
      counts.push_back(views.back().size());
    }
  }
  // Slice by slice, and written only once every sentence is tagged. Rows are
  // left for a later stage only when one slice covers the call: that stage
  // then reads exactly these sentences.
  const std::vector<detail::BatchRange> slices = detail::plan_bulk_slices(counts);
  std::vector<std::vector<POSTags>> results(views.size());
  detail::model_call<POSModelError>([&] {
    for (const detail::BatchRange& slice : slices) {
      std::vector<std::vector<std::string>> texts;
      texts.reserve(slice.end - slice.begin);
      for (std::size_t s = slice.begin; s < slice.end; ++s) {
        texts.push_back(detail::sequence_texts(views[s]));
      }
      std::vector<std::vector<POSTags>> tags =
          impl_->tag_sentences(texts, slices.size() == 1 ? call : nullptr);
      std::move(tags.begin(), tags.end(),
                results.begin() + static_cast<std::ptrdiff_t>(slice.begin));
    }
  });
  for (std::size_t s = 0; s < views.size(); ++s) {
    Impl::write_tags(views[s], results[s]);
  }
  return documents;
}

std::vector<POSTags> POSPlan::Impl::tag_words(const std::vector<std::string>& words) const {
  if (words.empty()) {
    return {};
  }
  c10::InferenceMode guard;
  const at::Tensor rows = encode_sentence(words);
  return predict_tags(rows, static_cast<std::int64_t>(words.size()));
}

std::vector<std::vector<POSTags>>
POSPlan::Impl::tag_sentences(const std::vector<std::vector<std::string>>& sentences,
                             detail::PipelineCall* call) const {
  std::vector<at::Tensor> forward_rows;
  std::vector<at::Tensor> backward_rows;
  if (use_charlm) {
    forward_rows = charlm_forward->encode_many(sentences);
    if (call != nullptr && call->offer_rooted_backward()) {
      // The parser later in the call reads these streams with its root
      // appended; one run serves both, and the words' rows are the same.
      std::vector<at::Tensor> rooted = charlm_backward->encode_many_rooted(sentences, "\n");
      backward_rows.reserve(rooted.size());
      for (std::size_t s = 0; s < rooted.size(); ++s) {
        backward_rows.push_back(
            sentences[s].empty() ? rooted[s] : rooted[s].narrow(0, 1, rooted[s].size(0) - 1));
      }
      call->leave_rooted_backward({sentences, std::move(rooted)});
    } else {
      backward_rows = charlm_backward->encode_many(sentences);
    }
  }
  c10::InferenceMode guard;
  const std::vector<at::Tensor> encoded = encode_batch(sentences, forward_rows, backward_rows);
  return predict_batch(encoded, sentences);
}

std::vector<std::vector<POSTags>>
POSPlan::Impl::predict_batch(const std::vector<at::Tensor>& encoded,
                             const std::vector<std::vector<std::string>>& sentences) const {
  if (encoded.size() != sentences.size()) {
    throw POSModelError("POS encoded and sentence batches must have equal lengths");
  }
  std::vector<std::vector<POSTags>> results(sentences.size());
  std::vector<std::int64_t> lengths(sentences.size(), 0);
  for (std::size_t s = 0; s < sentences.size(); ++s) {
    if (sentences[s].empty()) {
      continue;
    }
    lengths[s] = static_cast<std::int64_t>(sentences[s].size());
    if (!encoded[s].defined() || encoded[s].dim() < 1 || encoded[s].size(0) != lengths[s]) {
      throw POSModelError("POS encoded sentence length does not match its words");
    }
  }

  for (const detail::SentenceChunk& chunk :
       detail::plan_sentence_chunks(lengths, batch_size, batch_maximum_tokens)) {
    // The batch's real rows, sentence after sentence: exactly what remains of
    // a padded batch once its padding rows are masked out.
    std::vector<at::Tensor> members;
    members.reserve(chunk.sentences.size());
    for (const std::size_t s : chunk.sentences) {
      members.push_back(encoded[s]);
    }
    std::int64_t total = 0;
    for (const std::int64_t length : chunk.lengths) {
      total += length;
    }
    std::vector<POSTags> tags = predict_tags(at::cat(members, 0), total);
    auto next = tags.begin();
    for (std::size_t j = 0; j < chunk.sentences.size(); ++j) {
      std::vector<POSTags>& result = results[chunk.sentences[j]];
      result.insert(result.end(), std::make_move_iterator(next),
                    std::make_move_iterator(next + chunk.lengths[j]));
      next += chunk.lengths[j];
    }
  }
  return results;
}

void POSPlan::Impl::write_tags(const WordSequence& words, const std::vector<POSTags>& tags) {
  if (words.size() != tags.size()) {
    throw POSModelError("POS word and tag counts disagree");
  }
  const auto annotation = [](const std::string& value) -> std::optional<std::string> {
    if (value == "_") {
      return std::nullopt;
    }
    return value;
  };
  for (std::size_t i = 0; i < tags.size(); ++i) {
    Word word = words.at(static_cast<std::int64_t>(i));
    word.set_upos(annotation(tags[i].upos));
    word.set_xpos(annotation(tags[i].xpos));
    word.set_feats(annotation(tags[i].feats));
  }
}

} // namespace velmora
