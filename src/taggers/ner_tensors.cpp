// The tensor set of an "ner" bundle: presence in a fixed order, dimensions
// against the configuration and vocabularies, and the recurrent parameter
// lists.

#include <limits>

#include "encoders/lstm.hpp"
#include "taggers/ner_impl.hpp"
#include "taggers/tagger_assets.hpp"

namespace velmora {
namespace {

constexpr const char* kCharacterLstm = "charmodel.charlstm.lstm.";
constexpr const char* kTaggerLstm = "taggerlstm.lstm.";

// The extent of `axis`, or -1 for a tensor with fewer axes, which then fails
// the comparison that reads it (no count or size is negative).
std::int64_t extent(const at::Tensor& tensor, std::int64_t axis) {
  return tensor.dim() > axis ? tensor.size(axis) : -1;
}

std::int64_t count(const detail::UnitMap& vocabulary) {
  return static_cast<std::int64_t>(vocabulary.size());
}

} // namespace

const at::Tensor& NERPlan::Impl::tensor(std::string_view name) const {
  const at::Tensor* found = detail::find_tensor(tensors, name);
  if (found == nullptr) {
    throw NERModelError("missing NER tensor: '" + std::string(name) + "'");
  }
  return *found;
}

std::vector<at::Tensor> NERPlan::Impl::load_lstm_weights(const std::string& prefix,
                                                         std::int64_t layers) const {
  // Layer by layer, so that a bundle claiming absurdly many layers fails at
  // its first missing tensor.
  std::vector<at::Tensor> weights;
  for (std::int64_t layer = 0; layer < layers; ++layer) {
    for (const std::string& name : detail::lstm_layer_parameter_names(prefix, layer, true)) {
      weights.push_back(tensor(name));
    }
  }
  return weights;
}

void NERPlan::Impl::validate_tensors() const {
  for (const char* name :
       {"word_emb.weight", "delta_emb.weight", "taggerlstm_h_init", "taggerlstm_c_init"}) {
    tensor(name);
  }
  if (!charlm) {
    for (const char* name :
         {"charmodel.char_emb.weight", "charmodel.charlstm_h_init", "charmodel.charlstm_c_init"}) {
      tensor(name);
    }
    load_lstm_weights(kCharacterLstm, char_num_layers);
  }
  load_lstm_weights(kTaggerLstm, num_layers);
  if (input_transform) {
    tensor("input_transform.weight");
    tensor("input_transform.bias");
  }
  for (std::size_t k = 0; k < tag_columns.size(); ++k) {
    const std::string column = std::to_string(k);
    tensor("tag_clfs." + column + ".weight");
    tensor("tag_clfs." + column + ".bias");
    tensor("crits." + column + "._transitions");
  }

  const at::Tensor& word_emb = tensor("word_emb.weight");
  const at::Tensor& delta_emb = tensor("delta_emb.weight");
  if (extent(word_emb, 0) != count(word_vocab) || extent(word_emb, 1) != word_emb_dim ||
      extent(delta_emb, 0) != count(delta_vocab) || extent(delta_emb, 1) != word_emb_dim) {
    throw NERModelError("NER embedding dimensions disagree with bundled vocabularies");
  }
  if (!charlm) {
    const at::Tensor& char_emb = tensor("charmodel.char_emb.weight");
    if (extent(char_emb, 0) != count(char_vocab) || extent(char_emb, 1) != char_emb_dim) {
      throw NERModelError("NER character embedding dimensions disagree with its vocabulary");
    }
  }

  // The configuration may claim any size: a sum that would overflow becomes
  // -1, which matches no tensor.
  std::int64_t width = word_emb_dim;
  const auto add = [&width](std::int64_t part) {
    if (width < 0 || part < 0 || __builtin_add_overflow(width, part, &width)) {
      width = -1;
    }
  };
  if (use_transformer) {
    add(transformer->hidden_size());
  }
  if (charlm) {
    add(charlm_forward->hidden_size());
    add(charlm_backward->hidden_size());
  } else {
    add(char_hidden_dim > std::numeric_limits<std::int64_t>::max() / 2 ? -1 : 2 * char_hidden_dim);
  }
  if (input_transform) {
    const at::Tensor& weight = tensor("input_transform.weight");
    if (extent(weight, 0) != width || extent(weight, 1) != width ||
        extent(tensor("input_transform.bias"), 0) != width) {
      throw NERModelError("NER tagger input size disagrees with its embedding profile");
    }
  }
  if (width < 0 || extent(tensor("taggerlstm.lstm.weight_ih_l0"), 1) != width) {
    throw NERModelError("NER tagger input size disagrees with its embedding profile");
  }

  for (std::size_t k = 0; k < tag_columns.size(); ++k) {
    const std::string column = std::to_string(k);
    const auto tags = static_cast<std::int64_t>(tag_columns[k].size());
    const at::Tensor& transitions = tensor("crits." + column + "._transitions");
    if (extent(tensor("tag_clfs." + column + ".weight"), 0) != tags ||
        extent(tensor("tag_clfs." + column + ".bias"), 0) != tags ||
        extent(transitions, 0) != tags || extent(transitions, 1) != tags) {
      throw NERModelError("NER classifier dimensions disagree with tag vocabulary");
    }
  }
}

// The LSTM kernels trust the weights' shapes (see lstm_shape_mismatch), so
// every recurrent tensor must fit the sizes the network feeds it: the
// character LSTM runs over char_emb_dim-wide embeddings with char_hidden_dim
// units (its two final states fill the 2 x char_hidden_dim the tagger input
// counts); the tagger LSTM over the checked input width, with as many units
// as its first hidden weight has columns.
void NERPlan::Impl::check_recurrent_shapes() const {
  const auto check = [this](const std::string& prefix, std::int64_t layers, std::int64_t input,
                            std::int64_t hidden, const char* h_init, const char* c_init) {
    const detail::LstmShape shape{layers, true};
    const std::vector<std::string> names = detail::lstm_parameter_names(prefix, shape);
    const std::int64_t bad =
        detail::lstm_shape_mismatch(load_lstm_weights(prefix, layers), shape, input, hidden);
    if (bad >= 0) {
      throw NERModelError("NER config disagrees with tensor '" +
                          names.at(static_cast<std::size_t>(bad)) + "'");
    }
    for (const char* name : {h_init, c_init}) {
      if (tensor(name).sizes() != at::IntArrayRef({2 * layers, 1, hidden})) {
        throw NERModelError(std::string("NER config disagrees with tensor '") + name + "'");
      }
    }
  };
  if (!charlm) {
    check(kCharacterLstm, char_num_layers, char_emb_dim, char_hidden_dim,
          "charmodel.charlstm_h_init", "charmodel.charlstm_c_init");
  }
  const at::Tensor& first_hidden = tensor("taggerlstm.lstm.weight_hh_l0");
  check(kTaggerLstm, num_layers, tensor("taggerlstm.lstm.weight_ih_l0").size(1),
        extent(first_hidden, 1), "taggerlstm_h_init", "taggerlstm_c_init");
}

} // namespace velmora
