#pragma once

// Shared pieces of the transformer encoder tests: the tiny package's bundles
// and reference rows written by the fixture generator (gen_transformer.py).

#include <cmath>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <ATen/core/Tensor.h>

#include <velmora/json.hpp>
#include <velmora/model_bundle.hpp>

#include "test_support.hpp"

namespace velmora::test {

// Compiled kernels reorder float32 sums; a wrong row, window or position is
// off by far more.
inline constexpr double kRowTolerance = 2e-5;

inline std::filesystem::path transformer_bundle(const std::string& tokenizer) {
  return fixture("transformer/" + tokenizer);
}

inline const detail::JsonValue& transformer_reference() {
  static const detail::JsonValue reference =
      detail::load_json(fixture("transformer/reference.json"));
  return reference;
}

// The assets' transformer object of one of the bundles "wordpiece", "bpe", "xlmr".
inline detail::JsonValue transformer_assets(const std::string& tokenizer) {
  return detail::load_json(transformer_bundle(tokenizer) / "assets.json").at("transformer");
}

// `object` with its member `key` replaced or added.
inline detail::JsonValue with_member(const detail::JsonValue& object, const std::string& key,
                                     detail::JsonValue value) {
  detail::JsonValue::Object members = object.as_object();
  members[key] = std::move(value);
  return detail::JsonValue(std::move(members));
}

inline detail::JsonValue without_member(const detail::JsonValue& object, const std::string& key) {
  detail::JsonValue::Object members = object.as_object();
  members.erase(key);
  return detail::JsonValue(std::move(members));
}

inline std::vector<std::string> strings_of(const detail::JsonValue& array) {
  std::vector<std::string> out;
  for (const detail::JsonValue& item : array.as_array()) {
    out.push_back(item.as_string());
  }
  return out;
}

inline std::vector<std::int64_t> integers_of(const detail::JsonValue& array) {
  std::vector<std::int64_t> out;
  for (const detail::JsonValue& item : array.as_array()) {
    out.push_back(item.as_integer());
  }
  return out;
}

// Empty when every value of `actual` [rows, hidden] is within tolerance of
// `expected` (JSON rows), else a description of the first difference.
inline std::string compare_rows(const at::Tensor& actual, const detail::JsonValue& expected) {
  const detail::JsonValue::Array& rows = expected.as_array();
  std::ostringstream problem;
  if (actual.dim() != 2 || actual.size(0) != static_cast<std::int64_t>(rows.size())) {
    problem << "shape " << actual.sizes() << " for " << rows.size() << " expected rows";
    return problem.str();
  }
  const at::Tensor host = actual.contiguous();
  const float* data = host.const_data_ptr<float>();
  for (std::size_t r = 0; r < rows.size(); ++r) {
    const detail::JsonValue::Array& row = rows[r].as_array();
    if (host.size(1) != static_cast<std::int64_t>(row.size())) {
      return "width " + std::to_string(host.size(1)) + ", expected " + std::to_string(row.size());
    }
    for (std::size_t c = 0; c < row.size(); ++c) {
      const double want = row[c].as_number();
      const double got = data[r * row.size() + c];
      if (!(std::abs(got - want) <= kRowTolerance * (1.0 + std::abs(want)))) {
        problem << "row " << r << " column " << c << ": " << got << ", expected " << want;
        return problem.str();
      }
    }
  }
  return {};
}

} // namespace velmora::test
