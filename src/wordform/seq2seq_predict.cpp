#include <algorithm>
#include <string>
#include <vector>

#include <ATen/TensorOperators.h>
#include <ATen/ops/cat.h>
#include <ATen/ops/from_blob.h>
#include <ATen/ops/max.h>
#include <ATen/ops/topk.h>
#include <c10/core/InferenceMode.h>

#include "bundle/config_bounds.hpp"
#include "wordform/seq2seq_impl.hpp"

namespace velmora {
namespace {

struct BeamHypothesis {
  double score = 0.0;
  std::vector<std::int64_t> tokens;
  at::Tensor h; // [1, H]
  at::Tensor c;
  std::int64_t last = detail::kSeq2SeqSos;
};

// Everything a search needs of the encoded word.
struct SearchInput {
  const detail::Seq2SeqEncoding& encoding;
  const at::Tensor& source_ids; // [1, S]
  std::int64_t width;           // extended vocabulary size
  bool suppress_unk;
};

std::vector<std::int64_t> greedy_decode(const Seq2SeqPlan::Impl& model, const SearchInput& in) {
  std::vector<std::int64_t> output;
  at::Tensor hidden = in.encoding.hidden;
  at::Tensor cell = in.encoding.cell;
  std::int64_t next = detail::kSeq2SeqSos;
  for (std::int64_t step = 0; step < model.max_dec_len; ++step) {
    const at::Tensor input = at::from_blob(&next, {1}, at::kLong);
    detail::Seq2SeqStep result =
        model.decoder_step(input, hidden, cell, in.encoding.outputs, in.source_ids, in.width,
                           in.suppress_unk, at::Tensor(), at::Tensor());
    const std::int64_t chosen = std::get<1>(at::max(result.scores, 1)).item<std::int64_t>();
    hidden = std::move(result.hidden);
    cell = std::move(result.cell);
    if (chosen == detail::kSeq2SeqEos) {
      break;
    }
    output.push_back(chosen);
    next = chosen;
  }
  return output;
}

// No finished list and no length normalisation: hypotheses ending in <EOS>
// stay in the beam and keep scoring; the search ends when the best one ends.
std::vector<std::int64_t> beam_decode(const Seq2SeqPlan::Impl& model, const SearchInput& in,
                                      std::int64_t beam_size) {
  std::vector<BeamHypothesis> beam(1);
  beam[0].h = in.encoding.hidden;
  beam[0].c = in.encoding.cell;
  const std::int64_t positions = in.encoding.outputs.size(1);
  const std::int64_t features = in.encoding.outputs.size(2);
  for (std::int64_t step = 0; step < model.max_dec_len; ++step) {
    const auto k = static_cast<std::int64_t>(beam.size());
    std::vector<std::int64_t> last;
    std::vector<double> scores;
    std::vector<at::Tensor> hs;
    std::vector<at::Tensor> cs;
    for (const BeamHypothesis& hypothesis : beam) {
      last.push_back(hypothesis.last);
      scores.push_back(hypothesis.score);
      hs.push_back(hypothesis.h);
      cs.push_back(hypothesis.c);
    }
    const at::Tensor input = at::from_blob(last.data(), {k}, at::kLong);
    const detail::Seq2SeqStep result = model.decoder_step(
        input, at::cat(hs, 0), at::cat(cs, 0), in.encoding.outputs.expand({k, positions, features}),
        in.source_ids.expand({k, in.source_ids.size(1)}), in.width, in.suppress_unk, at::Tensor(),
        at::Tensor());

    // Totals in the score matrix's own type, read back as doubles.
    const at::Tensor previous =
        at::from_blob(scores.data(), {k, 1}, at::kDouble).to(result.scores.scalar_type());
    const at::Tensor totals = (result.scores + previous).reshape(-1);
    const std::int64_t kept = std::min(beam_size, totals.size(0));
    const auto [values, indices] = at::topk(totals, kept);
    const at::Tensor value_list = values.to(at::kDouble).contiguous();
    const at::Tensor index_list = indices.contiguous();
    const double* value_data = value_list.data_ptr<double>();
    const std::int64_t* index_data = index_list.data_ptr<std::int64_t>();

    std::vector<BeamHypothesis> next(static_cast<std::size_t>(kept));
    for (std::int64_t i = 0; i < kept; ++i) {
      const std::int64_t parent = index_data[i] / in.width;
      const std::int64_t id = index_data[i] % in.width;
      BeamHypothesis& hypothesis = next[static_cast<std::size_t>(i)];
      hypothesis.score = value_data[i];
      hypothesis.tokens = beam[static_cast<std::size_t>(parent)].tokens;
      hypothesis.tokens.push_back(id);
      hypothesis.h = result.hidden.narrow(0, parent, 1);
      hypothesis.c = result.cell.narrow(0, parent, 1);
      hypothesis.last = id;
    }
    beam = std::move(next);
    if (beam.front().last == detail::kSeq2SeqEos) {
      break;
    }
  }
  std::vector<std::int64_t> output = std::move(beam.front().tokens);
  output.erase(std::find(output.begin(), output.end(), detail::kSeq2SeqEos), output.end());
  return output;
}

} // namespace

std::int64_t Seq2SeqPlan::Impl::resolve_beam_size(std::optional<long long> requested) const {
  const std::int64_t resolved = requested ? static_cast<std::int64_t>(*requested) : beam_size;
  if (resolved < 1) {
    throw Seq2SeqModelError("beam size must be positive");
  }
  // The configured size is bounded at load; one a caller gives, here.
  if (resolved > detail::kMaxBeamSize) {
    throw Seq2SeqModelError("beam size exceeds its bound of " +
                            std::to_string(detail::kMaxBeamSize) + ": " + std::to_string(resolved));
  }
  return resolved;
}

std::string Seq2SeqPlan::Impl::ids_to_text(const std::vector<std::int64_t>& ids,
                                           const std::vector<std::string>& unknown_units) const {
  const auto units = static_cast<std::int64_t>(char_vocab.id2unit.size());
  const auto unknown = static_cast<std::int64_t>(unknown_units.size());
  std::string text;
  for (const std::int64_t id : ids) {
    if (id >= 0 && id < units) {
      // Special units are written as their names, "<UNK>" included.
      text += char_vocab.id2unit[static_cast<std::size_t>(id)];
    } else if (id - units >= 0 && id - units < unknown) {
      text += unknown_units[static_cast<std::size_t>(id - units)];
    } else {
      text += "<UNK>";
    }
  }
  return text;
}

Seq2SeqPrediction Seq2SeqPlan::Impl::predict(const std::string& word,
                                             const std::optional<std::string>& pos_tag,
                                             std::optional<long long> requested_beam,
                                             bool suppress_unk) const {
  c10::InferenceMode guard;
  detail::EncodedSource source = detail::encode_source(char_vocab, vocab_size, word);
  const auto length = static_cast<std::int64_t>(source.ids.size());
  const at::Tensor source_ids = at::from_blob(source.ids.data(), {1, length}, at::kLong);

  std::vector<std::int64_t> pos_ids;
  if (pos) {
    if (!pos_tag) {
      throw Seq2SeqModelError("this seq2seq bundle requires a POS tag");
    }
    pos_ids.push_back(pos_id(*pos_tag));
  }
  const detail::Seq2SeqEncoding encoding = run_encoder(source_ids, {length}, pos_ids, false);

  std::int64_t width = vocab_size;
  if (copy) {
    width = std::max(vocab_size, *std::max_element(source.ids.begin(), source.ids.end()) + 1);
  }
  Seq2SeqPrediction prediction;
  if (edit) {
    prediction.edit_class = classify_edit(encoding.hidden).item<std::int64_t>();
  }

  const std::int64_t beam = resolve_beam_size(requested_beam);
  const SearchInput input{encoding, source_ids, width, suppress_unk};
  const std::vector<std::int64_t> output =
      beam == 1 ? greedy_decode(*this, input) : beam_decode(*this, input, beam);
  prediction.text = ids_to_text(output, source.unknown_units);
  return prediction;
}

} // namespace velmora
