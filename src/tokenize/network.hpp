#pragma once

// The tokenizer network shared by the single-paragraph windows and the padded
// batches; only the way the two LSTM layers are run differs between them.
// Include only from .cpp files: it pulls in ATen.

#include <functional>
#include <vector>

#include <ATen/core/Tensor.h>

#include "tokenize/tokenizer_impl.hpp"

namespace velmora::detail {

// Runs one bidirectional LSTM layer over [B, L, F] with the given weights and
// returns its output [B, L, 2H].
using TokenizerLstm = std::function<at::Tensor(const at::Tensor&, const std::vector<at::Tensor>&)>;

// Embeds the ids [B, L] and appends the features [B, L, feat_dim].
at::Tensor tokenizer_inputs(const TokenizerPlan::Impl& impl, const at::Tensor& ids,
                            const at::Tensor& features);

// Both recurrent layers, the classifiers and the scoring: labels [B, L] int64,
// contiguous.
at::Tensor tokenizer_labels(const TokenizerPlan::Impl& impl, const at::Tensor& inputs,
                            const TokenizerLstm& run_lstm);

} // namespace velmora::detail
