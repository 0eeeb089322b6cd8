// Language identification: character ids, the tag mask of a language subset,
// and forward passes over texts sorted by length in passes of bounded size;
// a text longer than a pass runs through the LSTM in chunks.

#include <algorithm>
#include <limits>
#include <numeric>
#include <unordered_set>
#include <utility>

#include <ATen/TensorOperators.h>
#include <ATen/ops/argmax.h>
#include <ATen/ops/embedding.h>
#include <ATen/ops/from_blob.h>
#include <ATen/ops/linear.h>
#include <ATen/ops/zeros.h>

#include <velmora/json.hpp>
#include <velmora/text.hpp>

#include "bundle/tensor_errors.hpp"
#include "classifiers/langid_impl.hpp"
#include "encoders/calling_thread.hpp"
#include "encoders/lstm.hpp"
#include "encoders/model_call.hpp"
#include "taggers/sentence_batches.hpp"

namespace velmora {
namespace {

// Padded characters per forward pass. A single group of equal-length texts
// would otherwise become one tensor of any size; this bounds the activations
// of a pass at a few hundred bytes per character of the model's widths. A
// text longer than the budget runs alone, in chunks of the budget.
constexpr std::int64_t kCharacterBudget = 8192;

[[noreturn]] void throw_invalid_utf8(std::size_t offset) {
  throw LangIDModelError("invalid UTF-8 sequence at byte offset " + std::to_string(offset));
}

} // namespace

LangIDPlan::LangIDPlan(std::filesystem::path bundle_path, bool verify_checksums) {
  try {
    impl_ = detail::with_model_errors<LangIDModelError>(
        [&] { return std::make_unique<Impl>(std::move(bundle_path), verify_checksums); });
  } catch (const detail::JsonError& error) {
    throw LangIDModelError(error.what());
  }
}

LangIDPlan::~LangIDPlan() = default;
LangIDPlan::LangIDPlan(LangIDPlan&& other) noexcept = default;
LangIDPlan& LangIDPlan::operator=(LangIDPlan&& other) noexcept {
  if (this != &other) {
    impl_ = std::move(other.impl_);
  }
  return *this;
}

const ModelBundle& LangIDPlan::bundle() const {
  return *impl_->bundle;
}

std::string LangIDPlan::identify(const std::string& text,
                                 const std::vector<std::string>& langs) const {
  return identify_many({text}, langs).front();
}

std::vector<std::string> LangIDPlan::identify_many(const std::vector<std::string>& texts,
                                                   const std::vector<std::string>& langs) const {
  return detail::model_call<LangIDModelError>([&] { return impl_->identify_many(texts, langs); });
}

std::int64_t LangIDPlan::Impl::checked_length(const std::string& text) {
  std::int64_t count = 0;
  const std::size_t error = detail::walk_utf8(
      text.data(), text.size(), [&](std::uint32_t, std::size_t, std::size_t) { ++count; });
  if (error != detail::utf8_valid) {
    throw_invalid_utf8(error);
  }
  if (count == 0) {
    throw LangIDModelError("language identification requires non-empty text");
  }
  return count;
}

void LangIDPlan::Impl::append_ids(std::string_view text, std::vector<std::int64_t>& ids) const {
  // The key of a character is its own bytes: no normalisation, no case change.
  detail::walk_utf8(text.data(), text.size(),
                    [&](std::uint32_t, std::size_t begin, std::size_t end) {
                      const auto found = char_to_idx.find(text.substr(begin, end - begin));
                      ids.push_back(found == char_to_idx.end() ? unk_id : found->second);
                    });
}

at::Tensor LangIDPlan::Impl::tag_mask(const std::vector<std::string>& langs) const {
  if (langs.empty()) {
    return default_mask;
  }
  const std::unordered_set<std::string> wanted(langs.begin(), langs.end());
  std::vector<float> values(tags.size(), -std::numeric_limits<float>::infinity());
  bool any = false;
  for (std::size_t id = 0; id < tags.size(); ++id) {
    if (wanted.contains(tags[id])) {
      values[id] = 0.0F;
      any = true;
    }
  }
  if (!any) {
    throw LangIDModelError("LangID language subset contains no known language");
  }
  return at::from_blob(values.data(), {static_cast<std::int64_t>(values.size())}, at::kFloat)
      .clone();
}

at::Tensor LangIDPlan::Impl::summed_scores(const at::Tensor& ids,
                                           const std::vector<std::int64_t>& lengths) const {
  const std::int64_t batch = ids.size(0);
  const std::int64_t steps = ids.size(1);
  const at::Tensor embedded = at::embedding(tensor("char_embeds.weight"), ids, pad_id);
  // The states take the input's element type, so bundles stored in any float
  // type run, not only float32 ones.
  const at::Tensor state = at::zeros({2 * num_layers, batch, hidden_dim}, embedded.options());
  const bool equal = lengths.front() == lengths.back();
  const at::Tensor output =
      equal ? detail::lstm_dense(embedded, state, state, lstm_weights,
                                 detail::LstmShape{num_layers, true}, "character LSTM")
            : detail::lstm_padded_dense(embedded, lengths, state, state, lstm_weights, num_layers,
                                        "character LSTM");
  at::Tensor scores =
      at::linear(output, tensor("hidden_to_tag.weight"), tensor("hidden_to_tag.bias"));
  if (!equal) {
    // Only a text's own characters count; its padding rows are zeroed.
    std::vector<std::uint8_t> real(static_cast<std::size_t>(batch * steps), 0);
    for (std::int64_t j = 0; j < batch; ++j) {
      std::fill_n(real.begin() + j * steps, lengths[static_cast<std::size_t>(j)], 1);
    }
    scores = scores * at::from_blob(real.data(), {batch, steps, 1}, at::kByte).to(scores.dtype());
  }
  return scores.sum(1);
}

at::Tensor LangIDPlan::Impl::chunked_scores(std::string_view text, std::int64_t length,
                                            std::int64_t chunk) const {
  // Where each chunk's characters begin; ids exist for one chunk at a time.
  std::vector<std::size_t> starts;
  starts.reserve(static_cast<std::size_t>((length - 1) / chunk + 2));
  std::int64_t count = 0;
  detail::walk_utf8(text.data(), text.size(), [&](std::uint32_t, std::size_t begin, std::size_t) {
    if (count++ % chunk == 0) {
      starts.push_back(begin);
    }
  });
  starts.push_back(text.size());
  const at::Tensor& embeds = tensor("char_embeds.weight");
  std::vector<std::int64_t> ids;
  const auto input = [&](std::int64_t start, std::int64_t steps) {
    const auto j = static_cast<std::size_t>(start / chunk);
    ids.clear();
    append_ids(text.substr(starts[j], starts[j + 1] - starts[j]), ids);
    return at::embedding(embeds, at::from_blob(ids.data(), {1, steps}, at::kLong), pad_id);
  };
  const at::Tensor state = at::zeros({2 * num_layers, 1, hidden_dim}, embeds.options());
  // Each chunk's summed scores are added up in double precision: over
  // millions of characters a float total would lose the small differences
  // between the tags.
  at::Tensor total = at::zeros({1, static_cast<std::int64_t>(tags.size())}, at::kDouble);
  detail::lstm_chunked(
      length, chunk, input, state, state, lstm_weights, num_layers,
      [&](std::int64_t, const at::Tensor& output) {
        total.add_(at::linear(output, tensor("hidden_to_tag.weight"), tensor("hidden_to_tag.bias"))
                       .sum(1)
                       .to(at::kDouble));
      },
      "character LSTM");
  return total;
}

std::vector<std::string>
LangIDPlan::Impl::identify_many(const std::vector<std::string>& texts,
                                const std::vector<std::string>& langs) const {
  if (texts.empty()) {
    return {};
  }
  // Every text is checked before the subset; ids are made pass by pass, so
  // that they never exist for all texts at once.
  std::vector<std::int64_t> lengths(texts.size());
  for (std::size_t i = 0; i < texts.size(); ++i) {
    lengths[i] = checked_length(texts[i]);
  }
  const at::Tensor mask = tag_mask(langs);

  std::vector<std::size_t> order(texts.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return lengths[a] > lengths[b]; });
  std::vector<std::int64_t> sorted(texts.size());
  for (std::size_t j = 0; j < order.size(); ++j) {
    sorted[j] = lengths[order[j]];
  }

  // Passes are the units of the team: each computes what it computes alone,
  // its LSTM on one thread.
  const std::vector<detail::BatchRange> passes = detail::plan_length_batches(
      sorted, std::numeric_limits<std::int64_t>::max(), kCharacterBudget);
  std::vector<std::string> results(texts.size());
  detail::for_each_unit(passes.size(), [&](std::size_t unit) {
    const detail::BatchRange& range = passes[unit];
    const auto batch = static_cast<std::int64_t>(range.end - range.begin);
    const std::int64_t steps = sorted[range.begin];
    at::Tensor scores;
    if (steps > kCharacterBudget) {
      // A text longer than a pass runs alone, a pass's worth of characters at
      // a time.
      scores = chunked_scores(texts[order[range.begin]], steps, kCharacterBudget);
    } else {
      std::vector<std::int64_t> ids(static_cast<std::size_t>(batch * steps), pad_id);
      std::vector<std::int64_t> row;
      for (std::size_t j = range.begin; j < range.end; ++j) {
        row.clear();
        append_ids(texts[order[j]], row);
        std::copy(row.begin(), row.end(),
                  ids.begin() + static_cast<std::ptrdiff_t>((j - range.begin) * steps));
      }
      scores = summed_scores(
          at::from_blob(ids.data(), {batch, steps}, at::kLong),
          std::vector<std::int64_t>(sorted.begin() + static_cast<std::ptrdiff_t>(range.begin),
                                    sorted.begin() + static_cast<std::ptrdiff_t>(range.end)));
    }
    const at::Tensor best = at::argmax(scores + mask, 1).to(at::kLong).contiguous();
    const std::int64_t* predicted = best.const_data_ptr<std::int64_t>();
    for (std::size_t j = range.begin; j < range.end; ++j) {
      const std::int64_t id = predicted[j - range.begin];
      if (id < 0 || id >= static_cast<std::int64_t>(tags.size())) {
        throw LangIDModelError("LangID classifier produced an invalid tag id");
      }
      results[order[j]] = tags[static_cast<std::size_t>(id)];
    }
  });
  return results;
}

} // namespace velmora
