#pragma once

// Shared helpers of the character language model tests: opening fixture
// bundles, editing assets and comparing vectors with the PyTorch reference.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <ATen/ATen.h>

#include <velmora/json.hpp>
#include <velmora/model_bundle.hpp>

#include "encoders/native_charlm.hpp"
#include "test_support.hpp"

namespace velmora::test {

inline std::shared_ptr<ModelBundle> open_charlm_bundle(const std::string& relative) {
  return std::make_shared<ModelBundle>(fixture("charlm/" + relative), false);
}

// The assets object a model reads: the whole file, or the member `member` of
// its "charlm" object.
inline detail::JsonValue charlm_assets(const ModelBundle& bundle, const std::string& member) {
  detail::JsonValue root = detail::parse_json(bundle.assets_json());
  if (member.empty()) {
    return root;
  }
  return root.at("charlm").at(member);
}

// A copy of `root` with the member at `path` replaced by `value`, or removed
// when `value` is empty.
inline detail::JsonValue with_member(const detail::JsonValue& root,
                                     const std::vector<std::string>& path,
                                     std::optional<detail::JsonValue> value,
                                     std::size_t depth = 0) {
  detail::JsonValue::Object object = root.as_object();
  const std::string& key = path[depth];
  if (depth + 1 < path.size()) {
    object[key] = with_member(root.at(key), path, std::move(value), depth + 1);
  } else if (value) {
    object[key] = std::move(*value);
  } else {
    object.erase(key);
  }
  return detail::JsonValue(std::move(object));
}

inline std::vector<std::vector<std::string>> reference_sentences(const detail::JsonValue& json) {
  std::vector<std::vector<std::string>> sentences;
  for (const auto& sentence : json.at("sentences").as_array()) {
    std::vector<std::string>& words = sentences.emplace_back();
    for (const auto& word : sentence.as_array()) {
      words.push_back(word.as_string());
    }
  }
  return sentences;
}

// A [rows, columns] double tensor of a JSON list of rows.
inline at::Tensor reference_rows(const detail::JsonValue& rows, std::int64_t columns) {
  std::vector<double> values;
  for (const auto& row : rows.as_array()) {
    for (const auto& value : row.as_array()) {
      values.push_back(value.as_number());
    }
  }
  const auto count = static_cast<std::int64_t>(rows.as_array().size());
  return at::tensor(values, at::kDouble).reshape({count, columns});
}

inline ::testing::AssertionResult tensors_close(const at::Tensor& got, const at::Tensor& want,
                                                double tolerance) {
  if (got.sizes() != want.sizes()) {
    return ::testing::AssertionFailure()
           << "shape " << got.sizes() << " instead of " << want.sizes();
  }
  if (got.numel() == 0) {
    return ::testing::AssertionSuccess();
  }
  const double error = (got.to(at::kDouble) - want.to(at::kDouble)).abs().max().item<double>();
  if (error > tolerance) {
    return ::testing::AssertionFailure() << "largest difference " << error;
  }
  return ::testing::AssertionSuccess();
}

} // namespace velmora::test
