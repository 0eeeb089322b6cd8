// The sentiment network over one padded batch: word ids, word features,
// the optional BiLSTM, the convolution filters with their pooling and the
// fully connected layers.

#include <algorithm>

#include <ATen/TensorOperators.h>
#include <ATen/ops/addmm.h>
#include <ATen/ops/amax.h>
#include <ATen/ops/cat.h>
#include <ATen/ops/embedding.h>
#include <ATen/ops/empty.h>
#include <ATen/ops/from_blob.h>
#include <ATen/ops/linear.h>
#include <ATen/ops/maximum.h>
#include <ATen/ops/relu.h>
#include <ATen/ops/where.h>
#include <ATen/ops/zeros.h>

#include <velmora/text.hpp>

#include "classifiers/sentiment_impl.hpp"
#include "encoders/lstm.hpp"

namespace velmora {
namespace {

// The most window values a convolution copies out at once (1 MiB of float).
constexpr std::int64_t kWindowValues = std::int64_t{1} << 18;

} // namespace

std::optional<std::int64_t> SentimentPlan::Impl::vocabulary_id(std::string_view text) const {
  const auto found = pretrain_vocab.find(detail::normalize_word(text, lower));
  if (found == pretrain_vocab.end()) {
    return std::nullopt;
  }
  return found->second;
}

std::int64_t SentimentPlan::Impl::word_id(const std::string& word) const {
  if (const auto id = vocabulary_id(word)) {
    return *id;
  }
  if (word.size() >= 2 && word.back() == '\'') {
    if (const auto id = vocabulary_id(std::string_view(word).substr(0, word.size() - 1))) {
      return *id;
    }
  }
  if (const auto id = vocabulary_id(detail::unicode_lower(word))) {
    return *id;
  }
  return detail::kUnknownId;
}

at::Tensor SentimentPlan::Impl::charlm_feature(const detail::NativeCharLM& model,
                                               const std::string& prefix,
                                               const std::vector<std::vector<std::string>>& batch,
                                               std::int64_t length) const {
  const at::Tensor& embedding = tensor("embedding.weight");
  const std::int64_t width = charlm_projection >= 1 ? charlm_projection : model.hidden_size();
  at::Tensor feature =
      at::zeros({static_cast<std::int64_t>(batch.size()), length, width}, embedding.options());
  // The batched encoding gives every sentence the rows of a run over the
  // sentence alone.
  const std::vector<at::Tensor> rows = model.encode_many(batch);
  for (std::size_t b = 0; b < batch.size(); ++b) {
    if (batch[b].empty()) {
      continue;
    }
    at::Tensor vectors = rows[b];
    if (charlm_projection >= 1) {
      vectors = at::linear(vectors, tensor(prefix + ".weight"), tensor(prefix + ".bias"));
    }
    feature.select(0, static_cast<std::int64_t>(b)).narrow(0, 0, vectors.size(0)).copy_(vectors);
  }
  return feature;
}

at::Tensor
SentimentPlan::Impl::transformer_feature(const std::vector<std::vector<std::string>>& batch,
                                         std::int64_t length) const {
  const at::Tensor& embedding = tensor("embedding.weight");
  at::Tensor feature =
      at::zeros({static_cast<std::int64_t>(batch.size()), length, transformer->hidden_size()},
                embedding.options());
  // An empty sentence has no rows to place and runs nothing.
  const std::vector<at::Tensor> rows = transformer->encode_many(batch, false);
  for (std::size_t b = 0; b < batch.size(); ++b) {
    if (rows[b].defined()) {
      feature.select(0, static_cast<std::int64_t>(b)).narrow(0, 0, rows[b].size(0)).copy_(rows[b]);
    }
  }
  return feature;
}

at::Tensor SentimentPlan::Impl::convolve_and_pool(const at::Tensor& x, std::size_t k) const {
  // The convolution of x [B, L, W] with a filter h words high runs as matrix
  // products over the windows of h consecutive rows: the tensor library's
  // own convolution takes about three times as long for these one-channel,
  // full-width kernels. The windows are copied out, so a long batch runs a
  // span of positions at a time.
  const std::string prefix = "conv_layers." + std::to_string(k);
  const at::Tensor& weight = tensor(prefix + ".weight"); // [C, 1, h, w]
  const at::Tensor& bias = tensor(prefix + ".bias");
  const std::int64_t batch = x.size(0);
  const std::int64_t channels = weight.size(0);
  const std::int64_t height = weight.size(2);
  const std::int64_t tile = weight.size(3);
  const std::int64_t tiles = x.size(2) / tile; // 1 for a full-width filter
  const std::int64_t steps = x.size(1) - height + 1;
  const at::Tensor kernel = weight.view({channels, height * tile}).t();
  const at::Tensor tiled = x.reshape({batch, x.size(1), tiles, tile});
  const std::int64_t span = std::max<std::int64_t>(1, kWindowValues / (batch * height * x.size(2)));
  at::Tensor best;
  for (std::int64_t first = 0; first < steps; first += span) {
    const std::int64_t count = std::min(span, steps - first);
    // [B, count, q, h, w]: window t of tile j holds rows t .. t + h - 1 of
    // that tile.
    const at::Tensor windows = tiled.narrow(1, first, count + height - 1)
                                   .unfold(1, height, 1)
                                   .permute({0, 1, 2, 4, 3})
                                   .reshape({-1, height * tile});
    // [B, count, q, C] -> [B, count, C * q], the q tiles of one channel
    // adjacent; then the maximum over the positions.
    const at::Tensor maxima = at::addmm(bias, windows, kernel)
                                  .view({batch, count, tiles, channels})
                                  .transpose(2, 3)
                                  .reshape({batch, count, channels * tiles})
                                  .amax(1);
    best = best.defined() ? at::maximum(best, maxima) : maxima;
  }
  // ReLU, and the maximum over each group of maxpool_width consecutive
  // channels (a last, incomplete group is dropped); the ReLU commutes with
  // the maxima.
  const std::int64_t groups = channels * tiles / maxpool_width;
  return at::relu(
      best.narrow(1, 0, groups * maxpool_width).view({batch, groups, maxpool_width}).amax(2));
}

at::Tensor SentimentPlan::Impl::forward(const std::vector<std::vector<std::string>>& batch) const {
  const at::Tensor& embedding = tensor("embedding.weight");
  const auto count = static_cast<std::int64_t>(batch.size());
  if (count == 0) {
    return at::empty({0, num_classes}, embedding.options());
  }
  std::int64_t length = std::max(min_batch_length, tallest_2d_filter);
  for (const std::vector<std::string>& words : batch) {
    length = std::max(length, static_cast<std::int64_t>(words.size()));
  }

  const bool extra = extra_wordvec_method != "NONE";
  const auto cells = static_cast<std::size_t>(count * length);
  std::vector<std::int64_t> pretrained(cells, 0);
  std::vector<std::uint8_t> unknown(cells, 0);
  std::vector<std::int64_t> extra_ids(extra ? cells : 0, 0);
  for (std::size_t b = 0; b < batch.size(); ++b) {
    for (std::size_t t = 0; t < batch[b].size(); ++t) {
      const std::size_t cell = b * static_cast<std::size_t>(length) + t;
      const std::string& word = batch[b][t];
      pretrained[cell] = word_id(word);
      unknown[cell] = pretrained[cell] == detail::kUnknownId ? 1 : 0;
      if (extra) {
        extra_ids[cell] = detail::unit_id(extra_vocab, word);
      }
    }
  }

  const at::Tensor ids = at::from_blob(pretrained.data(), {count, length}, at::kLong);
  const at::Tensor mask =
      at::from_blob(unknown.data(), {count, length, 1}, at::kByte).to(at::kBool);
  at::Tensor words = at::where(mask, tensor("unk").view({1, 1, -1}), at::embedding(embedding, ids));
  std::vector<at::Tensor> features;
  if (extra) {
    const at::Tensor extra_vectors =
        at::embedding(tensor("extra_embedding.weight"),
                      at::from_blob(extra_ids.data(), {count, length}, at::kLong));
    if (extra_wordvec_method == "SUM") {
      words = words + extra_vectors;
      features.push_back(words);
    } else {
      features.push_back(words);
      features.push_back(extra_vectors);
    }
  } else {
    features.push_back(words);
  }
  if (has_charlm_forward) {
    features.push_back(
        charlm_feature(*forward_charlm, "charmodel_forward_projection", batch, length));
  }
  if (has_charlm_backward) {
    features.push_back(
        charlm_feature(*backward_charlm, "charmodel_backward_projection", batch, length));
  }
  if (use_transformer) {
    features.push_back(transformer_feature(batch, length));
  }
  at::Tensor x = features.size() == 1 ? features.front() : at::cat(features, 2);

  if (bilstm) {
    const at::Tensor state = at::zeros({4, count, bilstm_hidden_dim}, x.options());
    x = detail::lstm_dense(x, state, state, bilstm_weights, detail::LstmShape{2, true},
                           "sentence LSTM");
  }

  std::vector<at::Tensor> pooled;
  pooled.reserve(filters.size());
  for (std::size_t k = 0; k < filters.size(); ++k) {
    pooled.push_back(convolve_and_pool(x, k));
  }
  x = at::cat(pooled, 1);

  for (std::int64_t i = 0; i < fc_layer_count; ++i) {
    const std::string prefix = "fc_layers." + std::to_string(i);
    x = at::linear(x, tensor(prefix + ".weight"), tensor(prefix + ".bias"));
    if (i + 1 < fc_layer_count) {
      x = at::relu(x);
    }
  }
  return x;
}

} // namespace velmora
