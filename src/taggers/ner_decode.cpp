// From the tagger output to tags: the heads of the tag sets, the Viterbi
// search over emission and transition scores, and the BIOES repair.

#include <algorithm>
#include <string_view>

#include <ATen/ops/cat.h>
#include <ATen/ops/linear.h>

#include "taggers/ner_impl.hpp"

namespace velmora {
namespace {

// Ids 0 to 3 are the vocabulary's reserved units, never emitted as tags.
constexpr std::int64_t kFirstTagId = 4;

bool has_prefix(std::string_view tag, char prefix) {
  return tag.size() >= 2 && tag[0] == prefix && tag[1] == '-';
}

// Whether `tag` is one of the two prefixes followed by `type`.
bool continues(std::string_view tag, char first, char second, std::string_view type) {
  return tag.size() == type.size() + 2 && tag[1] == '-' && (tag[0] == first || tag[0] == second) &&
         tag.substr(2) == type;
}

} // namespace

at::Tensor NERPlan::Impl::emission_scores(const at::Tensor& hidden) const {
  const auto p = static_cast<std::size_t>(predict_tagset);
  at::Tensor scores;
  if (connect_output_layers) {
    // Each head reads the tagger output followed by the scores of the head
    // before it.
    for (std::size_t k = 0; k <= p; ++k) {
      const at::Tensor input = k == 0 ? hidden : at::cat({hidden, scores}, 1);
      scores = at::linear(input, tag_heads[k].weight, tag_heads[k].bias);
    }
  } else {
    scores = at::linear(hidden, tag_heads[p].weight, tag_heads[p].bias);
  }
  return scores.to(at::kFloat).contiguous();
}

std::vector<std::string> NERPlan::Impl::decode(const at::Tensor& emissions) const {
  const auto p = static_cast<std::size_t>(predict_tagset);
  const at::Tensor transitions = tag_heads[p].transitions.to(at::kFloat).contiguous();
  if (emissions.dim() != 2 || emissions.size(1) == 0 || transitions.dim() != 2 ||
      transitions.size(0) != emissions.size(1) || transitions.size(1) != emissions.size(1)) {
    throw NERModelError("NER CRF tensors have incompatible dimensions");
  }
  const std::vector<std::string>& column = tag_columns[p];
  std::vector<std::string> tags;
  tags.reserve(static_cast<std::size_t>(emissions.size(0)));
  for (std::int64_t id : decode_viterbi(emissions, transitions)) {
    id = std::max(id, kFirstTagId);
    if (id >= static_cast<std::int64_t>(column.size())) {
      throw NERModelError("NER CRF produced an invalid tag id");
    }
    tags.push_back(column[static_cast<std::size_t>(id)]);
  }
  repair_bioes(tags);
  return tags;
}

std::vector<std::int64_t> NERPlan::Impl::decode_viterbi(const at::Tensor& emissions,
                                                        const at::Tensor& transitions) {
  const std::int64_t n = emissions.size(0);
  const std::int64_t k = emissions.size(1);
  if (n == 0) {
    return {};
  }
  const float* e = emissions.const_data_ptr<float>();
  // Column j of the transitions as a contiguous row: the scores of every
  // previous tag before tag j.
  const at::Tensor into = transitions.t().contiguous();
  const float* t = into.const_data_ptr<float>();

  std::vector<float> score(e, e + k);
  std::vector<float> next(static_cast<std::size_t>(k));
  std::vector<std::int64_t> back(static_cast<std::size_t>(n * k));
  for (std::int64_t w = 1; w < n; ++w) {
    const float* row = e + w * k;
    for (std::int64_t j = 0; j < k; ++j) {
      const float* before = t + j * k;
      float best = score[0] + before[0];
      std::int64_t arg = 0;
      // Only a strictly greater score replaces: ties keep the lowest id.
      for (std::int64_t i = 1; i < k; ++i) {
        const float candidate = score[static_cast<std::size_t>(i)] + before[i];
        if (candidate > best) {
          best = candidate;
          arg = i;
        }
      }
      next[static_cast<std::size_t>(j)] = best + row[j];
      back[static_cast<std::size_t>(w * k + j)] = arg;
    }
    score.swap(next);
  }

  std::int64_t last = 0;
  for (std::int64_t j = 1; j < k; ++j) {
    if (score[static_cast<std::size_t>(j)] > score[static_cast<std::size_t>(last)]) {
      last = j;
    }
  }
  std::vector<std::int64_t> path(static_cast<std::size_t>(n));
  path[static_cast<std::size_t>(n - 1)] = last;
  for (std::int64_t w = n - 1; w > 0; --w) {
    path[static_cast<std::size_t>(w - 1)] =
        back[static_cast<std::size_t>(w * k + path[static_cast<std::size_t>(w)])];
  }
  return path;
}

// Two passes over the current contents: the first settles inside tags
// against their neighbours, the second turns begin tags that are not
// continued and end tags that close nothing into single tags. Types never
// change, and tags without a prefix are never touched.
void NERPlan::Impl::repair_bioes(std::vector<std::string>& tags) {
  const std::size_t n = tags.size();
  for (std::size_t i = 0; i < n; ++i) {
    if (!has_prefix(tags[i], 'I')) {
      continue;
    }
    const std::string type = tags[i].substr(2);
    const bool open_right = i + 1 == n || !continues(tags[i + 1], 'I', 'E', type);
    const bool open_left = i == 0 || !continues(tags[i - 1], 'B', 'I', type);
    if (open_left) {
      tags[i] = "B-" + type;
    } else if (open_right) {
      tags[i] = "E-" + type;
    }
  }
  for (std::size_t i = 0; i < n; ++i) {
    const bool begin = has_prefix(tags[i], 'B');
    if (!begin && !has_prefix(tags[i], 'E')) {
      continue;
    }
    const std::string type = tags[i].substr(2);
    const bool lonely = begin ? i + 1 == n || !continues(tags[i + 1], 'I', 'E', type)
                              : i == 0 || !continues(tags[i - 1], 'B', 'I', type);
    if (lonely) {
      tags[i] = "S-" + type;
    }
  }
}

} // namespace velmora
