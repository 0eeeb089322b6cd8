#pragma once

// The loaded language identifier. Include only from .cpp files: it pulls in
// ATen.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <ATen/core/Tensor.h>

#include <velmora/langid.hpp>
#include <velmora/model_bundle.hpp>

#include "bundle/tensor_checks.hpp"
#include "taggers/word_inputs.hpp"

namespace velmora {

// Built once by the loader and never written afterwards; the members are
// released in reverse order, so `bundle` outlives every view of its mapping.
struct LangIDPlan::Impl {
  // Loads a "langid" bundle. JSON errors of the assets escape unchanged.
  Impl(std::filesystem::path bundle_path, bool verify_checksums);
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  // Throws LangIDModelError "missing LangID weight: '<name>'".
  const at::Tensor& tensor(std::string_view name) const;

  // The number of characters of `text`, which must be valid, non-empty UTF-8
  // (else LangIDModelError).
  static std::int64_t checked_length(const std::string& text);
  // The character ids of a valid text, appended to `ids`.
  void append_ids(std::string_view text, std::vector<std::int64_t>& ids) const;
  // The additive tag mask of a subset (see LangIDPlan::identify_many).
  at::Tensor tag_mask(const std::vector<std::string>& langs) const;
  // The tag scores summed over each text [B, T] of a batch of texts of the
  // given lengths (longest first), whose ids fill the rows of `ids`
  // [B, lengths[0]] padded by pad_id.
  at::Tensor summed_scores(const at::Tensor& ids, const std::vector<std::int64_t>& lengths) const;
  // The same for one valid text of `length` characters [1, T] (float64), with
  // the LSTM run `chunk` characters at a time: memory that does not grow with
  // the text, for about twice the work of a whole run (lstm_chunked).
  at::Tensor chunked_scores(std::string_view text, std::int64_t length, std::int64_t chunk) const;
  std::vector<std::string> identify_many(const std::vector<std::string>& texts,
                                         const std::vector<std::string>& langs) const;

  std::shared_ptr<ModelBundle> bundle;
  std::unordered_map<std::string, std::int64_t, detail::StringHash, std::equal_to<>> char_to_idx;
  std::vector<std::string> tags;
  detail::TensorMap tensors;
  std::vector<at::Tensor> lstm_weights;
  at::Tensor default_mask;
  std::int64_t unk_id = 0;
  std::int64_t pad_id = 0;
  std::int64_t num_layers = 0;
  std::int64_t embedding_dim = 0;
  std::int64_t hidden_dim = 0;

private:
  void check_shape(const std::string& name, std::initializer_list<detail::Extent> shape) const;
};

} // namespace velmora
