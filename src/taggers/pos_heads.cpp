// The classifier heads: UPOS first, then XPOS and features conditioned on the
// embedding of the chosen UPOS through bilinear scorers.

#include <map>
#include <string>

#include <ATen/ops/addmm.h>
#include <ATen/ops/argmax.h>
#include <ATen/ops/bilinear.h>
#include <ATen/ops/cat.h>
#include <ATen/ops/embedding.h>
#include <ATen/ops/empty.h>
#include <ATen/ops/index_select.h>
#include <ATen/ops/matmul.h>
#include <ATen/ops/ones.h>
#include <ATen/ops/relu.h>

#include "encoders/calling_thread.hpp"
#include "encoders/products.hpp"
#include "taggers/pos_impl.hpp"

namespace velmora {
namespace {

// The reserved id a composite XPOS component, a feature column and a plain
// XPOS vocabulary with an ignore list predict for "no value".
constexpr std::int64_t kNoValue = 2;

at::Tensor first_argmax(const at::Tensor& scores) {
  return scores.argmax(1).contiguous();
}

bool in_range(std::int64_t id, std::size_t size) {
  return id >= 0 && static_cast<std::uint64_t>(id) < size;
}

} // namespace

at::Tensor POSPlan::Impl::bilinear_scores(const at::Tensor& hidden, const at::Tensor& tags,
                                          const std::string& prefix) const {
  const at::Tensor ones = at::ones({hidden.size(0), 1}, hidden.options());
  const at::Tensor left = at::cat({hidden, ones}, 1);
  const at::Tensor right = at::cat({tags, ones}, 1);
  const at::Tensor& weight = tensor(prefix + ".weight");
  const at::Tensor& bias = tensor(prefix + ".bias");
  return at::bilinear(left, right, weight, bias);
}

at::Tensor POSPlan::Impl::grouped_bilinear_scores(const at::Tensor& hidden, const TagGroups& groups,
                                                  const std::string& prefix) const {
  const at::Tensor& weight = tensor(prefix + ".weight");
  const at::Tensor& bias = tensor(prefix + ".bias");
  const std::int64_t outputs = weight.size(0);
  const std::int64_t left = weight.size(1);
  const std::int64_t count = groups.tags.size(0);
  // per_tag[t][o][p] = sum over q of weight[o][p][q] * tags[t][q].
  const at::Tensor per_tag =
      at::matmul(weight.reshape({outputs * left, weight.size(2)}), groups.tags.t())
          .t()
          .reshape({count, outputs, left});
  if (count == 1) {
    return at::addmm(bias, hidden, per_tag[0].t());
  }
  at::Tensor scores = at::empty({hidden.size(0), outputs}, hidden.options());
  for (std::int64_t t = 0; t < count; ++t) {
    const at::Tensor& rows = groups.rows[static_cast<std::size_t>(t)];
    scores.index_copy_(0, rows, at::addmm(bias, hidden.index_select(0, rows), per_tag[t].t()));
  }
  return scores;
}

std::vector<POSTags> POSPlan::Impl::predict_tags(const at::Tensor& encoded,
                                                 std::int64_t rows) const {
  if (rows == 0) {
    return {};
  }
  // The hidden layers over many words are products worth the team. Only
  // they: the classifiers after them are many small products per tag group,
  // each of which would gather the team again.
  const auto hidden_layer = [&](const std::string& prefix) {
    const at::Tensor& weight = tensor(prefix + ".weight");
    const detail::TeamProduct team(rows * encoded.size(-1) * weight.size(0));
    return at::relu(detail::linear(encoded, weight, tensor(prefix + ".bias")));
  };
  const at::Tensor upos_hidden = hidden_layer("upos_hid");
  const at::Tensor upos_ids =
      first_argmax(detail::linear(upos_hidden, tensor("upos_clf.weight"), tensor("upos_clf.bias")));
  const at::Tensor& upos_table = tensor("upos_emb.weight");
  const at::Tensor upos_embedding = at::embedding(upos_table, upos_ids);
  const at::Tensor xpos_hidden = hidden_layer("xpos_hid");
  const at::Tensor feats_hidden = hidden_layer("ufeats_hid");

  // The bilinear classifiers see only a handful of distinct UPOS embeddings.
  // When that is cheaper, each classifier is first contracted with every
  // distinct embedding, leaving one plain matrix product per UPOS group.
  std::map<std::int64_t, std::vector<std::int64_t>> members;
  const std::int64_t* upos_data = upos_ids.const_data_ptr<std::int64_t>();
  for (std::int64_t row = 0; row < rows; ++row) {
    members[upos_data[row]].push_back(row);
  }
  const auto distinct = static_cast<std::int64_t>(members.size());
  const std::int64_t tag_width = upos_table.size(1) + 1;
  const bool grouped = distinct * tag_width + rows < rows * tag_width;
  TagGroups groups;
  at::Tensor xpos_left;
  at::Tensor feats_left;
  if (grouped) {
    std::vector<std::int64_t> ids;
    for (auto& [id, group] : members) {
      ids.push_back(id);
      groups.rows.push_back(detail::id_tensor(group));
    }
    const at::Tensor embeddings = at::embedding(upos_table, detail::id_tensor(ids));
    groups.tags = at::cat({embeddings, at::ones({distinct, 1}, embeddings.options())}, 1);
    xpos_left = at::cat({xpos_hidden, at::ones({rows, 1}, xpos_hidden.options())}, 1);
    feats_left = at::cat({feats_hidden, at::ones({rows, 1}, feats_hidden.options())}, 1);
  }
  const auto decide = [&](const at::Tensor& hidden, const at::Tensor& left,
                          const std::string& prefix) {
    return first_argmax(grouped ? grouped_bilinear_scores(left, groups, prefix)
                                : bilinear_scores(hidden, upos_embedding, prefix));
  };

  std::vector<at::Tensor> xpos_ids;
  if (composite_xpos) {
    xpos_ids.reserve(xpos_component_labels.size());
    for (std::size_t k = 0; k < xpos_component_labels.size(); ++k) {
      xpos_ids.push_back(
          decide(xpos_hidden, xpos_left, "xpos_clf." + std::to_string(k) + ".W_bilin"));
    }
  } else {
    xpos_ids.push_back(decide(xpos_hidden, xpos_left, "xpos_clf.W_bilin"));
  }
  std::vector<at::Tensor> feats_ids;
  feats_ids.reserve(feats_columns.size());
  for (std::size_t k = 0; k < feats_columns.size(); ++k) {
    feats_ids.push_back(
        decide(feats_hidden, feats_left, "ufeats_clf." + std::to_string(k) + ".W_bilin"));
  }

  const auto id_at = [](const at::Tensor& ids, std::int64_t row) {
    return ids.const_data_ptr<std::int64_t>()[row];
  };
  std::vector<POSTags> tags;
  tags.reserve(static_cast<std::size_t>(rows));
  for (std::int64_t row = 0; row < rows; ++row) {
    POSTags word;
    const std::int64_t upos = id_at(upos_ids, row);
    if (!in_range(upos, upos_labels.size())) {
      throw POSModelError("POS classifier produced an invalid id");
    }
    word.upos = upos_labels[static_cast<std::size_t>(upos)];

    if (!composite_xpos) {
      const std::int64_t id = id_at(xpos_ids.front(), row);
      if (!in_range(id, xpos_labels.size())) {
        throw POSModelError("XPOS classifier produced an invalid id");
      }
      word.xpos =
          id == kNoValue && xpos_has_ignore ? "_" : xpos_labels[static_cast<std::size_t>(id)];
    } else {
      for (std::size_t k = 0; k < xpos_component_labels.size(); ++k) {
        const std::int64_t id = id_at(xpos_ids[k], row);
        if (id == kNoValue) {
          continue;
        }
        if (!in_range(id, xpos_component_labels[k].size())) {
          throw POSModelError("composite XPOS classifier produced an invalid id");
        }
        if (!word.xpos.empty()) {
          word.xpos += xpos_separator;
        }
        word.xpos += xpos_component_labels[k][static_cast<std::size_t>(id)];
      }
      if (word.xpos.empty()) {
        word.xpos = "_";
      }
    }

    for (std::size_t k = 0; k < feats_columns.size(); ++k) {
      const std::int64_t id = id_at(feats_ids[k], row);
      if (id == kNoValue) {
        continue;
      }
      const FeatsColumn& column = feats_columns[k];
      if (!in_range(id, column.values.size())) {
        throw POSModelError("feature classifier produced an invalid id");
      }
      if (!word.feats.empty()) {
        word.feats += '|';
      }
      word.feats += column.key;
      word.feats += '=';
      word.feats += column.values[static_cast<std::size_t>(id)];
    }
    if (word.feats.empty()) {
      word.feats = "_";
    }
    tags.push_back(std::move(word));
  }
  return tags;
}

} // namespace velmora
