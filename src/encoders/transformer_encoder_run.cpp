// Running the compiled package: one run, overlapping windows for sentences
// longer than the model's maximum length, and pooling subword rows into word
// rows.

#include <algorithm>
#include <exception>
#include <string>
#include <utility>

#include <ATen/ops/empty.h>
#include <ATen/ops/from_blob.h>
#include <ATen/ops/ones.h>
#include <torch/csrc/inductor/aoti_package/model_package_loader.h>

#include "bundle/returning_allocator.hpp"
#include "bundle/tensor_errors.hpp"
#include "encoders/transformer_encoder_impl.hpp"

namespace velmora {
namespace {

at::Tensor id_row(const std::int64_t* values, std::size_t count) {
  // The package only reads its inputs, so viewing the caller's memory is safe.
  return at::from_blob(const_cast<std::int64_t*>(values), {1, static_cast<std::int64_t>(count)},
                       at::TensorOptions().dtype(at::kLong));
}

// Windows of at most `length` subwords advance by `step`: at least half a
// window, and for long windows all but the last 20 subwords, which become the
// left context of the next window.
std::size_t window_step(std::size_t length) {
  const std::size_t long_step = length >= 20 ? length - 20 : 0;
  return std::max(long_step, length / 2);
}

} // namespace

at::Tensor TransformerEncoder::Impl::run(const std::int64_t* ids, std::size_t count,
                                         const std::int64_t* mask, std::size_t mask_count) const {
  if (mask_count != 0 && mask_count != count) {
    throw TransformerError("transformer attention mask length does not match input ids");
  }
  const auto length = static_cast<std::int64_t>(count);
  std::vector<at::Tensor> inputs;
  inputs.reserve(2);
  inputs.push_back(id_row(ids, count));
  inputs.push_back(mask_count == 0 ? at::ones({1, length}, at::TensorOptions().dtype(at::kLong))
                                   : id_row(mask, mask_count));

  std::vector<at::Tensor> outputs;
  const std::string prefix = "AOTInductor transformer inference failed: ";
  try {
    // Each thread running a window has a forward pass of its own: its
    // activations go back to the system as it frees them, so that the
    // threads' arenas do not each keep the largest pass they ran.
    const detail::ReturnedTensors returned;
    outputs = package.loader->run(inputs, nullptr);
  } catch (const std::exception& error) {
    detail::rethrow_allocation_failure(error);
    throw TransformerError(prefix + detail::libtorch_error_message(error));
  }

  if (outputs.size() != 1) {
    throw TransformerError("AOTInductor transformer must return exactly one tensor");
  }
  const at::Tensor& output = outputs.front();
  if (output.scalar_type() != at::kFloat) {
    throw TransformerError("AOTInductor transformer output must be float32");
  }
  if (output.dim() != 3 || output.size(0) != 1 || output.size(1) != length || output.size(2) < 1) {
    throw TransformerError("AOTInductor transformer output must have shape [1, subwords, hidden]");
  }
  return output.select(0, 0).contiguous();
}

at::Tensor TransformerEncoder::Impl::subword_rows(const std::vector<std::int64_t>& ids) const {
  const std::size_t count = ids.size();
  const std::size_t length = model_max_length;
  if (count <= length) {
    return run(ids.data(), count, nullptr, 0);
  }

  const std::size_t step = window_step(length);
  if (step <= 4) {
    throw TransformerError("transformer model_max_length is too small for overlapping slices");
  }
  const std::size_t overlap = length - step;

  // Window k covers [k * step, k * step + length); after the first, each one
  // contributes only the rows past its `overlap` rows of left context.
  at::Tensor rows;
  std::int64_t hidden = 0;
  std::size_t filled = 0;
  for (std::size_t start = 0;; start += step) {
    const std::size_t end = std::min(start + length, count);
    const at::Tensor window = run(ids.data() + start, end - start, nullptr, 0);
    std::int64_t skip = 0;
    if (start == 0) {
      hidden = window.size(1);
      rows = at::empty({static_cast<std::int64_t>(count), hidden},
                       at::TensorOptions().dtype(at::kFloat).device(window.device()));
    } else {
      if (window.size(1) != hidden) {
        throw TransformerError("AOTInductor transformer hidden size changed across slices");
      }
      if (window.size(0) < static_cast<std::int64_t>(overlap)) {
        throw TransformerError("AOTInductor transformer overlap exceeds final slice");
      }
      skip = static_cast<std::int64_t>(overlap);
    }
    const std::int64_t kept = window.size(0) - skip;
    if (filled + static_cast<std::size_t>(kept) > count) {
      break;
    }
    rows.narrow(0, static_cast<std::int64_t>(filled), kept).copy_(window.narrow(0, skip, kept));
    filled += static_cast<std::size_t>(kept);
    if (end == count) {
      break;
    }
  }
  if (filled != count) {
    throw TransformerError(
        "AOTInductor transformer slices did not reconstruct the subword sequence");
  }
  return rows;
}

at::Tensor TransformerEncoder::Impl::encode_words(const std::vector<std::string>& words,
                                                  bool keep_endpoints) const {
  const WordPieceEncoding encoding = tokenize(words, true);
  const std::size_t count = encoding.input_ids.size();
  if (count == 0) {
    return at::empty({0, 0}, at::TensorOptions().dtype(at::kFloat));
  }
  const at::Tensor subwords = subword_rows(encoding.input_ids);

  // A word's vector is the row of its last subword.
  const auto word_count = static_cast<std::int64_t>(words.size());
  std::vector<std::int64_t> last(words.size(), -1);
  for (std::size_t i = 0; i < count; ++i) {
    const std::int64_t word = encoding.word_ids[i];
    if (word >= 0 && word < word_count) {
      last[static_cast<std::size_t>(word)] = static_cast<std::int64_t>(i);
    }
  }
  std::vector<std::int64_t> selected;
  selected.reserve(words.size() + 2);
  if (keep_endpoints) {
    selected.push_back(0);
  }
  for (std::size_t w = 0; w < last.size(); ++w) {
    if (last[w] < 0) {
      throw TransformerError("transformer tokenizer produced no subword for word " +
                             std::to_string(w));
    }
    selected.push_back(last[w]);
  }
  if (keep_endpoints) {
    selected.push_back(static_cast<std::int64_t>(count) - 1);
  }
  if (selected.empty()) {
    return at::empty({0, subwords.size(1)}, subwords.options());
  }
  const at::Tensor index =
      at::from_blob(selected.data(), {static_cast<std::int64_t>(selected.size())},
                    at::TensorOptions().dtype(at::kLong))
          .to(subwords.device());
  return subwords.index_select(0, index).contiguous();
}

} // namespace velmora
