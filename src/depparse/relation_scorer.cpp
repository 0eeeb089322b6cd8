#include "depparse/relation_scorer.hpp"

#include <algorithm>
#include <numeric>
#include <stdexcept>

#include <ATen/TensorOperators.h>
#include <ATen/ops/cat.h>
#include <ATen/ops/empty.h>
#include <ATen/ops/from_blob.h>
#include <ATen/ops/index_select.h>
#include <ATen/ops/log_softmax.h>
#include <ATen/ops/matmul.h>
#include <ATen/ops/mm.h>
#include <ATen/ops/ones.h>

#include "encoders/calling_thread.hpp"
#include "encoders/products.hpp"

namespace velmora::detail {
namespace {

// A head's product with the weight is [dependent width + 1, labels]; heads go
// through in blocks of about this many elements (16 MiB of floats), which
// keeps the block within the last-level cache's reach while giving the
// product enough rows to run at full speed.
constexpr std::int64_t kBlockElements = std::int64_t{1} << 22;

// A hidden side: relu(linear) with a constant 1 appended to every row.
at::Tensor hidden_side(const at::Tensor& rows, const at::Tensor& weight, const at::Tensor& bias) {
  return at::cat(
      {detail::linear(rows, weight, bias).relu_(), at::ones({rows.size(0), 1}, rows.options())}, 1);
}

std::vector<float> to_floats(const at::Tensor& scores) {
  const at::Tensor values = scores.to(at::kFloat).contiguous();
  const float* first = values.data_ptr<float>();
  return std::vector<float>(first, first + values.numel());
}

at::Tensor index_tensor(const std::vector<std::int64_t>& indexes) {
  // Copied, so the caller's list may go away before the product runs.
  return at::from_blob(const_cast<std::int64_t*>(indexes.data()),
                       {static_cast<std::int64_t>(indexes.size())}, at::kLong)
      .clone();
}

// The relation log-probabilities [arcs, labels] of the arcs from row
// head_rows[i] of `head` to row dependent_rows[i] of `dependent` (the hidden
// sides). Each distinct head row meets the head-first weight once; then each
// of its dependents meets that product.
at::Tensor arc_log_probabilities(const RelationWeights& weights, const at::Tensor& dependent,
                                 const at::Tensor& head,
                                 const std::vector<std::int64_t>& dependent_rows,
                                 const std::vector<std::int64_t>& head_rows) {
  const auto arcs = static_cast<std::int64_t>(dependent_rows.size());
  std::vector<std::int64_t> order(dependent_rows.size());
  std::iota(order.begin(), order.end(), std::int64_t{0});
  std::stable_sort(order.begin(), order.end(),
                   [&](std::int64_t a, std::int64_t b) { return head_rows[a] < head_rows[b]; });
  // Distinct heads in increasing order, each with its run of `order`.
  std::vector<std::int64_t> distinct;
  std::vector<std::size_t> run_starts;
  for (std::size_t i = 0; i < order.size(); ++i) {
    if (i == 0 || head_rows[order[i]] != head_rows[order[i - 1]]) {
      distinct.push_back(head_rows[order[i]]);
      run_starts.push_back(i);
    }
  }
  run_starts.push_back(order.size());

  at::Tensor logits = at::empty({arcs, weights.labels}, dependent.options());
  const std::size_t block = static_cast<std::size_t>(
      std::max<std::int64_t>(1, kBlockElements / (weights.dependent_width * weights.labels)));
  for (std::size_t first = 0; first < distinct.size(); first += block) {
    const std::size_t count = std::min(block, distinct.size() - first);
    const std::vector<std::int64_t> block_heads(distinct.begin() + first,
                                                distinct.begin() + first + count);
    const at::Tensor products =
        detail::linear(head.index_select(0, index_tensor(block_heads)), weights.head_first.t())
            .view({static_cast<std::int64_t>(count), weights.dependent_width, weights.labels});
    for (std::size_t k = 0; k < count; ++k) {
      const std::vector<std::int64_t> positions(order.begin() + run_starts[first + k],
                                                order.begin() + run_starts[first + k + 1]);
      std::vector<std::int64_t> rows;
      rows.reserve(positions.size());
      for (const std::int64_t position : positions) {
        rows.push_back(dependent_rows[position]);
      }
      logits.index_copy_(0, index_tensor(positions),
                         at::mm(dependent.index_select(0, index_tensor(rows)),
                                products.select(0, static_cast<std::int64_t>(k))));
    }
  }
  return at::log_softmax(logits.add_(weights.bias), 1);
}

} // namespace

RelationWeights RelationWeights::bind(at::Tensor dependent_weight, at::Tensor dependent_bias,
                                      at::Tensor head_weight, at::Tensor head_bias,
                                      const at::Tensor& weight, at::Tensor bias) {
  RelationWeights weights;
  weights.dependent_weight = std::move(dependent_weight);
  weights.dependent_bias = std::move(dependent_bias);
  weights.head_weight = std::move(head_weight);
  weights.head_bias = std::move(head_bias);
  weights.dependent_width = weight.size(0);
  weights.head_width = weight.size(1);
  weights.labels = weight.size(2);
  // A view of the bundle's bytes: the weight is contiguous.
  weights.bilinear = weight.view({weights.dependent_width, weights.head_width * weights.labels});
  // A copy (the weight's size once per plan), so that a block of heads meets
  // a plain row-major matrix. Made on the calling thread like the rest of
  // loading: gathering a team costs more than it saves on one copy, and the
  // thread that forked a child process has no team to gather there.
  const CallingThreadOnly calling_thread;
  weights.head_first = weight.permute({1, 0, 2}).contiguous().view(
      {weights.head_width, weights.dependent_width * weights.labels});
  weights.bias = std::move(bias);
  return weights;
}

BiaffineRelationScores::BiaffineRelationScores(const RelationWeights& weights,
                                               const at::Tensor& encoded)
    : BiaffineRelationScores(weights,
                             hidden_side(encoded, weights.dependent_weight, weights.dependent_bias),
                             hidden_side(encoded, weights.head_weight, weights.head_bias)) {}

BiaffineRelationScores::BiaffineRelationScores(const RelationWeights& weights, at::Tensor dependent,
                                               at::Tensor head)
    : weights_(weights), dependent_(std::move(dependent)), head_(std::move(head)) {}

std::vector<BiaffineRelationScores>
BiaffineRelationScores::with_trees(const RelationWeights& weights,
                                   const std::vector<at::Tensor>& encoded,
                                   const std::vector<std::vector<std::int64_t>>& trees) {
  if (encoded.size() != trees.size()) {
    throw std::logic_error("relation scorers need one tree per sentence");
  }
  std::vector<BiaffineRelationScores> scorers;
  if (encoded.empty()) {
    return scorers;
  }
  // The hidden sides of every sentence in one product each.
  const at::Tensor rows = encoded.size() == 1 ? encoded.front() : at::cat(encoded, 0);
  const at::Tensor dependent = hidden_side(rows, weights.dependent_weight, weights.dependent_bias);
  const at::Tensor head = hidden_side(rows, weights.head_weight, weights.head_bias);
  std::vector<std::int64_t> dependent_rows;
  std::vector<std::int64_t> head_rows;
  std::vector<std::int64_t> offsets;
  std::int64_t offset = 0;
  for (std::size_t s = 0; s < encoded.size(); ++s) {
    const std::int64_t n = encoded[s].size(0);
    if (static_cast<std::int64_t>(trees[s].size()) != n) {
      throw std::logic_error("relation scorers need a head for every position");
    }
    offsets.push_back(offset);
    for (std::int64_t d = 1; d < n; ++d) {
      dependent_rows.push_back(offset + d);
      head_rows.push_back(offset + trees[s][static_cast<std::size_t>(d)]);
    }
    offset += n;
  }
  const std::vector<float> scores =
      to_floats(arc_log_probabilities(weights, dependent, head, dependent_rows, head_rows));
  const auto labels = static_cast<std::size_t>(weights.labels);
  std::size_t arc = 0;
  scorers.reserve(encoded.size());
  for (std::size_t s = 0; s < encoded.size(); ++s) {
    const std::int64_t n = encoded[s].size(0);
    BiaffineRelationScores& scorer = scorers.emplace_back(BiaffineRelationScores(
        weights, dependent.narrow(0, offsets[s], n), head.narrow(0, offsets[s], n)));
    scorer.held_heads_ = trees[s];
    if (n > 0) {
      scorer.held_heads_.front() = -1;
    }
    scorer.held_.assign(static_cast<std::size_t>(n) * labels, 0.0F);
    const auto words = static_cast<std::size_t>(std::max<std::int64_t>(n - 1, 0));
    std::copy_n(scores.begin() + static_cast<std::ptrdiff_t>(arc * labels), words * labels,
                scorer.held_.begin() + static_cast<std::ptrdiff_t>(labels));
    arc += words;
  }
  return scorers;
}

std::vector<float>
BiaffineRelationScores::arc_scores(const std::vector<std::int64_t>& dependents,
                                   const std::vector<std::int64_t>& heads) const {
  if (dependents.size() != heads.size()) {
    throw std::logic_error("relation arcs need one head per dependent");
  }
  const auto labels = static_cast<std::size_t>(weights_.labels);
  const auto held = [&](std::size_t i) {
    const std::int64_t d = dependents[i];
    return d >= 0 && static_cast<std::size_t>(d) < held_heads_.size() &&
           held_heads_[static_cast<std::size_t>(d)] == heads[i];
  };
  std::vector<std::int64_t> asked_dependents;
  std::vector<std::int64_t> asked_heads;
  for (std::size_t i = 0; i < dependents.size(); ++i) {
    if (!held(i)) {
      asked_dependents.push_back(dependents[i]);
      asked_heads.push_back(heads[i]);
    }
  }
  const std::vector<float> asked =
      asked_dependents.empty() ? std::vector<float>()
                               : to_floats(arc_log_probabilities(weights_, dependent_, head_,
                                                                 asked_dependents, asked_heads));
  std::vector<float> scores(dependents.size() * labels);
  std::size_t next = 0;
  for (std::size_t i = 0; i < dependents.size(); ++i) {
    const float* source = held(i) ? held_.data() + static_cast<std::size_t>(dependents[i]) * labels
                                  : asked.data() + next++ * labels;
    std::copy_n(source, labels, scores.begin() + static_cast<std::ptrdiff_t>(i * labels));
  }
  return scores;
}

std::vector<float> BiaffineRelationScores::dependent_scores(std::int64_t dependent) const {
  const at::Tensor product = at::matmul(dependent_.narrow(0, dependent, 1), weights_.bilinear)
                                 .view({weights_.head_width, weights_.labels});
  return to_floats(at::log_softmax(at::matmul(head_, product) + weights_.bias, 1));
}

} // namespace velmora::detail
