#include "tokenize/network.hpp"

#include <algorithm>

#include <ATen/ATen.h>

#include "bundle/tensor_errors.hpp"
#include "encoders/lstm.hpp"

namespace velmora::detail {

at::Tensor tokenizer_inputs(const TokenizerPlan::Impl& impl, const at::Tensor& ids,
                            const at::Tensor& features) {
  at::Tensor embedded = at::embedding(impl.weight("embeddings.weight"), ids, impl.pad_id);
  return at::cat({embedded, features}, -1);
}

at::Tensor tokenizer_labels(const TokenizerPlan::Impl& impl, const at::Tensor& inputs,
                            const TokenizerLstm& run_lstm) {
  const at::Tensor first = run_lstm(inputs, impl.rnn_weights);
  at::Tensor tok = at::linear(first, impl.weight("tok_clf.weight"), impl.weight("tok_clf.bias"));
  at::Tensor sent = at::linear(first, impl.weight("sent_clf.weight"), impl.weight("sent_clf.bias"));
  at::Tensor mwt;
  if (impl.use_mwt) {
    mwt = at::linear(first, impl.weight("mwt_clf.weight"), impl.weight("mwt_clf.bias"));
  }
  at::Tensor gated = first;
  if (impl.hier_invtemp > 0) {
    gated = first * (1 - at::sigmoid(-tok * impl.hier_invtemp));
  }

  const at::Tensor second = run_lstm(gated, impl.rnn2_weights);
  tok = tok + at::linear(second, impl.weight("tok_clf2.weight"));
  sent = sent + at::linear(second, impl.weight("sent_clf2.weight"));
  if (impl.use_mwt) {
    mwt = mwt + at::linear(second, impl.weight("mwt_clf2.weight"));
  }

  const at::Tensor no_token = at::log_sigmoid(-tok);
  const at::Tensor token = at::log_sigmoid(tok);
  const at::Tensor no_sentence = at::log_sigmoid(-sent);
  const at::Tensor sentence = at::log_sigmoid(sent);
  at::Tensor scores;
  if (impl.use_mwt) {
    const at::Tensor no_mwt = at::log_sigmoid(-mwt);
    const at::Tensor is_mwt = at::log_sigmoid(mwt);
    scores = at::cat({no_token, token + no_sentence + no_mwt, token + sentence + no_mwt,
                      token + no_sentence + is_mwt, token + sentence + is_mwt},
                     -1);
  } else {
    scores = at::cat({no_token, token + no_sentence, token + sentence}, -1);
  }
  return scores.argmax(-1).contiguous();
}

void apply_last_label_rule(TokenizerLabels& labels) {
  if (labels.empty()) {
    return;
  }
  std::int64_t& last = labels.back();
  if (last == 0 || last == 1) {
    last = 2;
  } else if (last == 3) {
    last = 4;
  }
}

} // namespace velmora::detail

namespace velmora {
namespace {

bool ends_sentence(std::int64_t label) {
  return label == 2 || label == 4;
}

} // namespace

TokenizerLabels TokenizerPlan::Impl::predict_paragraph(const Paragraph& paragraph) const {
  TokenizerLabels labels;
  const std::size_t n = paragraph.size();
  if (n == 0) {
    return labels;
  }
  std::vector<float> features = compute_features(paragraph);
  std::vector<std::int64_t> ids = unit_ids(paragraph);
  labels.reserve(n);

  const detail::LstmShape shape{1, true};
  const detail::TokenizerLstm run_lstm = [&](const at::Tensor& input,
                                             const std::vector<at::Tensor>& weights) {
    return detail::lstm_dense(input, initial_state[0], initial_state[1], weights, shape,
                              "tokenizer LSTM");
  };

  std::size_t start = 0;
  while (start < n) {
    const std::size_t length = std::min(n - start, detail::kTokenizerWindow);
    if (length == 0) {
      throw TokenizerModelError("invalid tokenizer inference window");
    }
    const auto window = static_cast<std::int64_t>(length);
    const at::Tensor id_view = at::from_blob(ids.data() + start, {1, window}, at::kLong);
    const at::Tensor feature_view =
        feat_dim == 0 ? at::empty({1, window, 0}, at::kFloat)
                      : at::from_blob(features.data() + start * static_cast<std::size_t>(feat_dim),
                                      {1, window, feat_dim}, at::kFloat);
    const at::Tensor predicted = detail::with_model_errors<TokenizerModelError>([&] {
      return detail::tokenizer_labels(*this, detail::tokenizer_inputs(*this, id_view, feature_view),
                                      run_lstm);
    });
    const std::int64_t* window_labels = predicted.data_ptr<std::int64_t>();

    std::size_t keep = length;
    if (start + detail::kTokenizerWindow < n) {
      // Resume right after the window's last sentence end, so the next window
      // starts on a fresh sentence.
      for (std::size_t i = length; i > 0; --i) {
        if (ends_sentence(window_labels[i - 1])) {
          keep = i;
          break;
        }
      }
    }
    labels.insert(labels.end(), window_labels, window_labels + keep);
    start += keep;
  }

  detail::apply_last_label_rule(labels);
  detail::merge_url_and_email_tokens(paragraph, labels);
  return labels;
}

} // namespace velmora
