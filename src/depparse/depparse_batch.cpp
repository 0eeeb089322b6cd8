// Parsing the sentences of many documents together, a slice of the call at a
// time: character language models once per direction over the slice's
// sentences, then encoding and arc scoring in length-sorted, zero-padded
// chunks under a padded-row budget, and decoding with relation scoring in
// groups of consecutive sentences. Nothing is written until every sentence
// has parsed.

#include <algorithm>
#include <iterator>
#include <limits>

#include <ATen/ops/zeros.h>
#include <c10/core/InferenceMode.h>

#include "bundle/tensor_errors.hpp"
#include "depparse/depparse_impl.hpp"
#include "depparse/depparse_words.hpp"
#include "encoders/bulk_slices.hpp"
#include "encoders/model_call.hpp"
#include "pipeline/pipeline_call.hpp"

namespace velmora {

std::vector<Document> DepparsePlan::process_bulk(std::vector<Document> documents) const {
  const detail::BulkCallScope bulk_call;
  return process_bulk(std::move(documents), nullptr);
}

std::vector<Document> DepparsePlan::process_bulk(std::vector<Document> documents,
                                                 detail::PipelineCall* call) const {
  std::vector<WordSequence> views;
  std::vector<std::size_t> counts;
  for (const Document& document : documents) {
    const SentenceSequence document_sentences = document.sentences();
    for (std::uint64_t i = 0; i < document_sentences.size(); ++i) {
      views.push_back(document_sentences.at(static_cast<std::int64_t>(i)).words());
      counts.push_back(views.back().size());
    }
  }
  // Slice by slice, and written only once every sentence has parsed. A
  // tagger's rows serve the parser only when one slice covers the call, as
  // the tagger's did.
  const std::vector<detail::BatchRange> slices = detail::plan_bulk_slices(counts);
  std::vector<std::vector<DepparsePrediction>> results(views.size());
  detail::model_call<DepparseModelError>([&] {
    for (const std::size_t count : counts) {
      impl_->require_arc_memory(1, static_cast<std::int64_t>(count) + 1);
    }
    for (const detail::BatchRange& slice : slices) {
      std::vector<std::vector<DepparseWord>> sentences;
      sentences.reserve(slice.end - slice.begin);
      for (std::size_t s = slice.begin; s < slice.end; ++s) {
        sentences.push_back(detail::collect_depparse_words(views[s]));
      }
      std::vector<std::vector<DepparsePrediction>> parsed =
          impl_->parse_sentences(sentences, slices.size() == 1 ? call : nullptr);
      std::move(parsed.begin(), parsed.end(),
                results.begin() + static_cast<std::ptrdiff_t>(slice.begin));
    }
  });
  for (std::size_t s = 0; s < views.size(); ++s) {
    detail::apply_predictions(views[s], results[s]);
  }
  return documents;
}

std::vector<std::vector<DepparsePrediction>>
DepparsePlan::Impl::parse_sentences(const std::vector<std::vector<DepparseWord>>& sentences,
                                    detail::PipelineCall* call) const {
  // A sentence too long to score is refused before any sentence is encoded.
  for (const std::vector<DepparseWord>& words : sentences) {
    require_arc_memory(1, static_cast<std::int64_t>(words.size()) + 1);
  }
  std::vector<at::Tensor> forward;
  std::vector<at::Tensor> backward;
  if (use_charlm) {
    // The models read what the single-sentence path gives them: a line feed
    // for the root, then the unchanged texts. A tagger earlier in the same
    // call may have run the backward model over exactly these streams.
    const std::vector<std::vector<std::string>> texts = detail::depparse_texts(sentences);
    forward = charlm_forward->encode_many_rooted(texts, "\n");
    std::optional<detail::PipelineCall::RootedRows> shared;
    if (call != nullptr) {
      shared = call->take_rooted_backward(texts);
    }
    backward = shared ? std::move(shared->rows) : charlm_backward->encode_many_rooted(texts, "\n");
  }

  c10::InferenceMode guard;
  std::vector<at::Tensor> encoded = encode_batch(sentences, forward, backward);
  std::vector<at::Tensor> arcs = score_batch(encoded, sentences);

  // Decoding in groups of consecutive sentences, one group per unit: the
  // relation scores of a group's first trees go through shared products.
  constexpr std::size_t kGroupPositions = 384;
  std::vector<std::vector<std::size_t>> groups;
  std::size_t positions = kGroupPositions;
  for (std::size_t s = 0; s < sentences.size(); ++s) {
    if (sentences[s].empty()) {
      continue;
    }
    if (positions + sentences[s].size() + 1 > kGroupPositions) {
      groups.emplace_back();
      positions = 0;
    }
    groups.back().push_back(s);
    positions += sentences[s].size() + 1;
  }
  std::vector<std::vector<DepparsePrediction>> results(sentences.size());
  detail::for_each_unit(groups.size(), [&](std::size_t unit) {
    const std::vector<std::size_t>& group = groups[unit];
    std::vector<detail::ScoreMatrix> matrices;
    std::vector<std::vector<std::int64_t>> trees;
    std::vector<at::Tensor> rows;
    for (const std::size_t s : group) {
      matrices.push_back(arc_score_matrix(arcs[s]));
      trees.push_back(detail::decode_single_root(matrices.back()));
      rows.push_back(encoded[s].squeeze(0));
      encoded[s] = at::Tensor();
    }
    const std::vector<detail::BiaffineRelationScores> relations =
        detail::BiaffineRelationScores::with_trees(relation_weights, rows, trees);
    for (std::size_t k = 0; k < group.size(); ++k) {
      results[group[k]] =
          label_tree(sentences[group[k]], matrices[k], relations[k], std::move(trees[k]));
      matrices[k] = detail::ScoreMatrix();
    }
  });
  return results;
}

std::vector<at::Tensor>
DepparsePlan::Impl::encode_batch(const std::vector<std::vector<DepparseWord>>& sentences,
                                 const std::vector<at::Tensor>& forward_charlm,
                                 const std::vector<at::Tensor>& backward_charlm) const {
  // Without the language models, the character model runs once over the
  // words of every sentence, each distinct word once.
  at::Tensor characters;
  if (!use_charlm) {
    std::vector<std::vector<std::int64_t>> char_ids;
    for (const auto& words : sentences) {
      if (!words.empty()) {
        std::vector<std::vector<std::int64_t>> sentence = sentence_char_ids(words);
        std::move(sentence.begin(), sentence.end(), std::back_inserter(char_ids));
      }
    }
    characters = encode_char_ids(char_ids);
  }
  const std::vector<at::Tensor> transformer_rows =
      use_transformer ? transformer->encode_many(detail::depparse_texts(sentences), true)
                      : std::vector<at::Tensor>();
  std::vector<at::Tensor> inputs(sentences.size());
  std::int64_t first_row = 0;
  for (std::size_t s = 0; s < sentences.size(); ++s) {
    if (sentences[s].empty()) {
      continue;
    }
    const auto rows = static_cast<std::int64_t>(sentences[s].size()) + 1;
    const at::Tensor sentence_characters =
        characters.defined() ? characters.narrow(0, first_row, rows) : at::Tensor();
    first_row += rows;
    inputs[s] = encode_inputs(sentences[s], use_charlm ? &forward_charlm.at(s) : nullptr,
                              use_charlm ? &backward_charlm.at(s) : nullptr,
                              use_charlm ? nullptr : &sentence_characters,
                              use_transformer ? &transformer_rows[s] : nullptr)
                    .squeeze(0);
  }
  // The row budget bounds the padded rows of a chunk, not its sentences.
  std::vector<at::Tensor> encoded = detail::highway_lstm_sentences(
      std::move(inputs), parser_layers, std::numeric_limits<std::int64_t>::max(), batch_size);
  for (at::Tensor& sentence : encoded) {
    if (sentence.defined()) {
      sentence = sentence.unsqueeze(0);
    }
  }
  return encoded;
}

std::vector<at::Tensor>
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

  // A padded position costs the scorers' per-row products (about as much as
  // 400 pairs of the head-side product) and every padded pair its share of
  // the head-side product; a chunk's fixed price is small next to both.
  constexpr double kPairsPerRow = 400.0;
  constexpr double kChunkCost = 20000.0;
  const detail::BucketCost cost = [](std::int64_t longest, std::int64_t count) {
    const auto padded = static_cast<double>(longest * count);
    return padded * (kPairsPerRow + static_cast<double>(longest)) + kChunkCost;
  };
  constexpr std::int64_t kWidestChunk = 512;
  std::vector<at::Tensor> scores(sentences.size());
  const std::vector<detail::SentenceChunk> chunks =
      detail::plan_sentence_buckets(rows, cost, kWidestChunk, batch_size);
  detail::for_each_unit(chunks.size(), [&](std::size_t unit) {
    const detail::SentenceChunk& chunk = chunks[unit];
    const at::Tensor padded = detail::pad_chunk(members, chunk);
    const auto count = static_cast<std::int64_t>(chunk.sentences.size());
    at::Tensor mask =
        at::zeros({count, chunk.lengths.front()}, at::TensorOptions().dtype(at::kBool));
    for (std::int64_t j = 0; j < count; ++j) {
      mask.select(0, j).narrow(0, 0, chunk.lengths[static_cast<std::size_t>(j)]).fill_(true);
    }
    const at::Tensor arcs = arc_log_probabilities(padded, &mask);
    for (std::int64_t j = 0; j < count; ++j) {
      const std::size_t s = chunk.sentences[static_cast<std::size_t>(j)];
      const std::int64_t r = rows[s];
      scores[s] = arcs.select(0, j).narrow(0, 0, r).narrow(1, 0, r).contiguous().unsqueeze(0);
    }
  });
  return scores;
}

} // namespace velmora
