// Parsing the sentences of many documents together: character language
// models once per direction over all of them, then encoding and scoring in
// length-sorted, zero-padded chunks under a padded-row budget, and decoding
// sentence by sentence. Nothing is written until every sentence has parsed.

#include <limits>

#include <ATen/ops/zeros.h>
#include <c10/core/InferenceMode.h>

#include "depparse/depparse_impl.hpp"
#include "depparse/depparse_words.hpp"
#include "taggers/sentence_batches.hpp"

namespace velmora {
namespace {

// A chunk of the length-sorted order: its sentences, longest first.
struct Chunk {
  std::vector<std::size_t> sentences;
  std::vector<std::int64_t> rows;
};

// The sentences with words, stably sorted longest first, cut into runs whose
// count times longest rows stays within `budget` (a longer sentence runs
// alone).
std::vector<Chunk> plan_chunks(const std::vector<std::int64_t>& rows, std::int64_t budget) {
  const std::vector<std::size_t> order = detail::longest_first(rows);
  std::vector<std::int64_t> sorted_rows;
  sorted_rows.reserve(order.size());
  for (const std::size_t s : order) {
    sorted_rows.push_back(rows[s]);
  }
  std::vector<Chunk> chunks;
  for (const detail::BatchRange& range :
       detail::plan_length_batches(sorted_rows, std::numeric_limits<std::int64_t>::max(), budget)) {
    Chunk& chunk = chunks.emplace_back();
    chunk.sentences.assign(order.begin() + static_cast<std::ptrdiff_t>(range.begin),
                           order.begin() + static_cast<std::ptrdiff_t>(range.end));
    chunk.rows.assign(sorted_rows.begin() + static_cast<std::ptrdiff_t>(range.begin),
                      sorted_rows.begin() + static_cast<std::ptrdiff_t>(range.end));
  }
  return chunks;
}

// A zero tensor [k, longest, width] holding each member's rows [r, width] at
// the top of its slot.
at::Tensor pad_members(const std::vector<at::Tensor>& members, const Chunk& chunk) {
  const at::Tensor& first = members[chunk.sentences.front()];
  const auto count = static_cast<std::int64_t>(chunk.sentences.size());
  at::Tensor batch = at::zeros({count, chunk.rows.front(), first.size(-1)}, first.options());
  for (std::int64_t j = 0; j < count; ++j) {
    const at::Tensor& rows = members[chunk.sentences[static_cast<std::size_t>(j)]];
    batch.select(0, j).narrow(0, 0, rows.size(0)).copy_(rows);
  }
  return batch;
}

} // namespace

std::vector<Document> DepparsePlan::process_bulk(std::vector<Document> documents) const {
  std::vector<WordSequence> views;
  std::vector<std::vector<DepparseWord>> sentences;
  for (const Document& document : documents) {
    const SentenceSequence document_sentences = document.sentences();
    for (std::uint64_t i = 0; i < document_sentences.size(); ++i) {
      WordSequence words = document_sentences.at(static_cast<std::int64_t>(i)).words();
      sentences.push_back(detail::collect_depparse_words(words));
      views.push_back(std::move(words));
    }
  }
  const std::vector<std::vector<DepparsePrediction>> results = impl_->parse_sentences(sentences);
  for (std::size_t s = 0; s < views.size(); ++s) {
    detail::apply_predictions(views[s], results[s]);
  }
  return documents;
}

std::vector<std::vector<DepparsePrediction>>
DepparsePlan::Impl::parse_sentences(const std::vector<std::vector<DepparseWord>>& sentences) const {
  std::vector<at::Tensor> forward;
  std::vector<at::Tensor> backward;
  if (use_charlm) {
    // The same word lists the single-sentence path gives the models: a line
    // feed for the root, then the unchanged texts.
    std::vector<std::vector<std::string>> lists;
    lists.reserve(sentences.size());
    for (const auto& words : sentences) {
      std::vector<std::string>& list = lists.emplace_back();
      list.reserve(words.size() + 1);
      list.emplace_back("\n");
      for (const DepparseWord& word : words) {
        list.push_back(word.text);
      }
    }
    forward = charlm_forward->encode_many(lists);
    backward = charlm_backward->encode_many(lists);
  }

  c10::InferenceMode guard;
  std::vector<std::pair<at::Tensor, at::Tensor>> scores =
      score_batch(encode_batch(sentences, forward, backward), sentences);
  std::vector<std::vector<DepparsePrediction>> results(sentences.size());
  for (std::size_t s = 0; s < sentences.size(); ++s) {
    if (!sentences[s].empty()) {
      results[s] = decode_sentence(sentences[s], scores[s].first, scores[s].second);
      scores[s] = {};
    }
  }
  return results;
}

std::vector<at::Tensor>
DepparsePlan::Impl::encode_batch(const std::vector<std::vector<DepparseWord>>& sentences,
                                 const std::vector<at::Tensor>& forward_charlm,
                                 const std::vector<at::Tensor>& backward_charlm) const {
  std::vector<at::Tensor> inputs(sentences.size());
  std::vector<std::int64_t> rows(sentences.size(), 0);
  for (std::size_t s = 0; s < sentences.size(); ++s) {
    if (sentences[s].empty()) {
      continue;
    }
    inputs[s] = encode_inputs(sentences[s], use_charlm ? &forward_charlm.at(s) : nullptr,
                              use_charlm ? &backward_charlm.at(s) : nullptr)
                    .squeeze(0);
    rows[s] = inputs[s].size(0);
  }

  std::vector<at::Tensor> encoded(sentences.size());
  for (const Chunk& chunk : plan_chunks(rows, batch_size)) {
    const at::Tensor output =
        detail::highway_lstm_packed(pad_members(inputs, chunk), chunk.rows, parser_layers);
    for (std::size_t j = 0; j < chunk.sentences.size(); ++j) {
      const std::size_t s = chunk.sentences[j];
      encoded[s] = output.select(0, static_cast<std::int64_t>(j))
                       .narrow(0, 0, rows[s])
                       .contiguous()
                       .unsqueeze(0);
      inputs[s] = at::Tensor();
    }
  }
  return encoded;
}

std::vector<std::pair<at::Tensor, at::Tensor>>
DepparsePlan::Impl::score_batch(const std::vector<at::Tensor>& encoded,
                                const std::vector<std::vector<DepparseWord>>& sentences) const {
  if (encoded.size() != sentences.size()) {
    throw DepparseModelError("depparse encoded and sentence batches must have equal lengths");
  }
  std::vector<std::int64_t> rows(sentences.size(), 0);
  std::vector<at::Tensor> members(sentences.size());
  for (std::size_t s = 0; s < sentences.size(); ++s) {
    if (sentences[s].empty()) {
      continue;
    }
    const at::Tensor& sentence = encoded[s];
    rows[s] = static_cast<std::int64_t>(sentences[s].size()) + 1;
    if (!sentence.defined() || sentence.dim() != 3 || sentence.size(0) != 1 ||
        sentence.size(1) != rows[s]) {
      throw DepparseModelError("depparse encoded sentence length does not match its words");
    }
    members[s] = sentence.squeeze(0);
  }

  std::vector<std::pair<at::Tensor, at::Tensor>> scores(sentences.size());
  for (const Chunk& chunk : plan_chunks(rows, batch_size)) {
    const at::Tensor padded = pad_members(members, chunk);
    const auto count = static_cast<std::int64_t>(chunk.sentences.size());
    at::Tensor mask = at::zeros({count, chunk.rows.front()}, at::TensorOptions().dtype(at::kBool));
    for (std::int64_t j = 0; j < count; ++j) {
      mask.select(0, j).narrow(0, 0, chunk.rows[static_cast<std::size_t>(j)]).fill_(true);
    }
    const auto [arcs, relations] = score_sentence(padded, &mask);
    for (std::int64_t j = 0; j < count; ++j) {
      const std::size_t s = chunk.sentences[static_cast<std::size_t>(j)];
      const std::int64_t r = rows[s];
      scores[s] = {
          arcs.select(0, j).narrow(0, 0, r).narrow(1, 0, r).contiguous().unsqueeze(0),
          relations.select(0, j).narrow(0, 0, r).narrow(1, 0, r).contiguous().unsqueeze(0)};
    }
  }
  return scores;
}

} // namespace velmora
