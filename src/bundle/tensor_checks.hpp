#pragma once

// Load-time checks of bundle tensors against what a plan will do with them:
// shapes against configured sizes, vocabulary ids against embedding rows,
// element types; and checked arithmetic on configured sizes, which come from
// a file and may be anything. Include only from .cpp files: it pulls in ATen.

#include <cstdint>
#include <initializer_list>
#include <limits>
#include <string>
#include <string_view>

#include <ATen/core/Tensor.h>

namespace velmora::detail {

// One expected dimension: an exact size or any size. A negative size, such as
// a configured size that is negative or whose arithmetic overflowed, matches
// no dimension.
class Extent {
public:
  Extent(std::int64_t size) : size_(size) {}
  static Extent any() { return Extent(kAny); }
  bool matches(std::int64_t dimension) const {
    return size_ == kAny || (size_ >= 0 && size_ == dimension);
  }

private:
  static constexpr std::int64_t kAny = std::numeric_limits<std::int64_t>::min();
  std::int64_t size_;
};

// The sum and the product of sizes, or -1 when a term is negative or the
// result passes 64 bits.
std::int64_t checked_sum(std::initializer_list<std::int64_t> terms);
std::int64_t checked_product(std::initializer_list<std::int64_t> factors);

// True when `tensor` has exactly one dimension per extent and each matches.
bool has_shape(const at::Tensor& tensor, std::initializer_list<Extent> extents);

// True when the tensor holds floating values of one of the bundle's floating
// dtypes.
bool is_floating(const at::Tensor& tensor);

// "<model> config disagrees with tensor '<name>'".
std::string config_disagreement(std::string_view model, std::string_view name);
// "<model> vocabulary disagrees with tensor '<name>'".
std::string vocabulary_disagreement(std::string_view model, std::string_view name);
// "<model> tensor has an unsupported dtype: '<name>'".
std::string dtype_disagreement(std::string_view model, std::string_view name);

// Throws Error(config_disagreement(model, name)) unless the tensor has the
// shape.
template <class Error>
void require_shape(std::string_view model, std::string_view name, const at::Tensor& tensor,
                   std::initializer_list<Extent> extents) {
  if (!has_shape(tensor, extents)) {
    throw Error(config_disagreement(model, name));
  }
}

// The size of `axis` of `tensor`, or -1 (which no extent matches) when it has
// no such axis.
inline std::int64_t extent_of(const at::Tensor& tensor, std::int64_t axis) {
  return axis < tensor.dim() ? tensor.size(axis) : -1;
}

// Throws Error(vocabulary_disagreement(model, name)) unless `embedding` is a
// matrix whose rows hold every id of the unit-to-id map `units` and the
// `reserved` ids 0, 1, ... that the plan reads whatever the vocabulary says.
template <class Error, class Units>
void require_rows_for(std::string_view model, std::string_view name, const at::Tensor& embedding,
                      const Units& units, std::int64_t reserved = 0) {
  const std::int64_t rows = embedding.dim() == 2 ? embedding.size(0) : -1;
  bool fits = reserved <= rows;
  for (const auto& entry : units) {
    fits = fits && entry.second >= 0 && entry.second < rows;
  }
  if (!fits) {
    throw Error(vocabulary_disagreement(model, name));
  }
}

} // namespace velmora::detail
