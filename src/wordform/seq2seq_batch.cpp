#include <algorithm>
#include <numeric>
#include <string>
#include <vector>

#include <ATen/ops/from_blob.h>
#include <ATen/ops/full.h>
#include <ATen/ops/max.h>
#include <c10/core/InferenceMode.h>

#include "encoders/calling_thread.hpp"
#include "wordform/seq2seq_impl.hpp"

namespace velmora {
namespace {

// Greedy decoding of one batch of rows (indexes into the input, longest
// first). Packing, the attention mask and the per-row limits keep every row
// independent of its neighbours; finished rows keep being computed and their
// choices are ignored.
void decode_batch(const Seq2SeqPlan::Impl& model, const std::vector<detail::EncodedSource>& sources,
                  const std::vector<std::optional<std::string>>& tags,
                  const std::vector<std::size_t>& rows, bool suppress_unk,
                  std::vector<Seq2SeqPrediction>& results) {
  const auto batch = static_cast<std::int64_t>(rows.size());
  const auto width = static_cast<std::int64_t>(sources[rows.front()].ids.size());

  std::vector<std::int64_t> ids(static_cast<std::size_t>(batch * width), detail::kSeq2SeqPad);
  std::vector<std::int64_t> lengths;
  std::vector<std::int64_t> limits;
  std::vector<std::int64_t> pos_ids;
  std::int64_t extended_vocab_size = model.vocab_size;
  for (std::int64_t r = 0; r < batch; ++r) {
    const std::size_t index = rows[static_cast<std::size_t>(r)];
    const std::vector<std::int64_t>& row = sources[index].ids;
    std::copy(row.begin(), row.end(), ids.begin() + r * width);
    lengths.push_back(static_cast<std::int64_t>(row.size()));
    std::int64_t limit = model.vocab_size;
    if (model.copy) {
      limit = std::max(limit, *std::max_element(row.begin(), row.end()) + 1);
    }
    limits.push_back(limit);
    extended_vocab_size = std::max(extended_vocab_size, limit);
    if (model.pos) {
      if (!tags[index]) {
        throw Seq2SeqModelError("this seq2seq bundle requires a POS tag");
      }
      pos_ids.push_back(model.pos_id(*tags[index]));
    }
  }

  const at::Tensor source_ids = at::from_blob(ids.data(), {batch, width}, at::kLong);
  const at::Tensor row_limits = at::from_blob(limits.data(), {batch}, at::kLong);
  const detail::Seq2SeqEncoding encoding = model.run_encoder(source_ids, lengths, pos_ids, true);

  std::vector<std::optional<std::int64_t>> edit_classes(rows.size());
  if (model.edit) {
    const at::Tensor classes = model.classify_edit(encoding.hidden).contiguous();
    const std::int64_t* data = classes.data_ptr<std::int64_t>();
    for (std::size_t r = 0; r < rows.size(); ++r) {
      edit_classes[r] = data[r];
    }
  }

  at::Tensor input = at::full({batch}, detail::kSeq2SeqSos, at::kLong);
  at::Tensor hidden = encoding.hidden;
  at::Tensor cell = encoding.cell;
  std::vector<std::vector<std::int64_t>> outputs(rows.size());
  std::vector<bool> finished(rows.size(), false);
  for (std::int64_t step = 0; step < model.max_dec_len; ++step) {
    detail::Seq2SeqStep result =
        model.decoder_step(input, hidden, cell, encoding.outputs, source_ids, extended_vocab_size,
                           suppress_unk, encoding.mask, row_limits);
    const at::Tensor chosen = std::get<1>(at::max(result.scores, 1)).contiguous();
    hidden = std::move(result.hidden);
    cell = std::move(result.cell);
    input = chosen;
    const std::int64_t* data = chosen.data_ptr<std::int64_t>();
    bool appended = false;
    for (std::size_t r = 0; r < rows.size(); ++r) {
      if (finished[r]) {
        continue;
      }
      if (data[r] == detail::kSeq2SeqEos) {
        finished[r] = true;
      } else {
        outputs[r].push_back(data[r]);
        appended = true;
      }
    }
    if (!appended) {
      break;
    }
  }

  for (std::size_t r = 0; r < rows.size(); ++r) {
    Seq2SeqPrediction& prediction = results[rows[r]];
    prediction.text = model.ids_to_text(outputs[r], sources[rows[r]].unknown_units);
    prediction.edit_class = edit_classes[r];
  }
}

} // namespace

std::vector<Seq2SeqPrediction>
Seq2SeqPlan::Impl::predict_many(const std::vector<std::string>& words,
                                const std::vector<std::optional<std::string>>& tags,
                                std::optional<long long> requested_beam, bool suppress_unk) const {
  if (words.size() != tags.size()) {
    throw Seq2SeqModelError("seq2seq text and POS batches must have equal lengths");
  }
  const std::int64_t beam = resolve_beam_size(requested_beam);
  std::vector<Seq2SeqPrediction> results(words.size());
  if (beam != 1) {
    // Each word's beam search is one unit of the team.
    detail::for_each_unit(words.size(), [&](std::size_t i) {
      results[i] = predict(words[i], tags[i], beam, suppress_unk);
    });
    return results;
  }

  c10::InferenceMode guard;
  std::vector<detail::EncodedSource> sources;
  sources.reserve(words.size());
  for (const std::string& word : words) {
    sources.push_back(detail::encode_source(char_vocab, vocab_size, word));
  }
  // Longest first, as packing requires; equal lengths keep their input order.
  std::vector<std::size_t> order(words.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return sources[a].ids.size() > sources[b].ids.size();
  });

  // Each batch is one unit of the team; every decoder step of a batch is a
  // product of a few rows by narrow weights, on the unit's thread.
  const auto step = static_cast<std::size_t>(batch_size);
  const std::size_t batches = (order.size() + step - 1) / step;
  detail::for_each_unit(batches, [&](std::size_t batch) {
    const std::size_t start = batch * step;
    const std::size_t end = std::min(order.size(), start + step);
    const std::vector<std::size_t> rows(order.begin() + static_cast<std::ptrdiff_t>(start),
                                        order.begin() + static_cast<std::ptrdiff_t>(end));
    decode_batch(*this, sources, tags, rows, suppress_unk, results);
  });
  return results;
}

} // namespace velmora
