#include "bundle/tensor_checks.hpp"

#include <c10/core/ScalarType.h>

namespace velmora::detail {

std::int64_t checked_sum(std::initializer_list<std::int64_t> terms) {
  std::int64_t total = 0;
  for (const std::int64_t term : terms) {
    if (term < 0 || __builtin_add_overflow(total, term, &total)) {
      return -1;
    }
  }
  return total;
}

std::int64_t checked_product(std::initializer_list<std::int64_t> factors) {
  std::int64_t total = 1;
  for (const std::int64_t factor : factors) {
    if (factor < 0 || __builtin_mul_overflow(total, factor, &total)) {
      return -1;
    }
  }
  return total;
}

bool has_shape(const at::Tensor& tensor, std::initializer_list<Extent> extents) {
  if (tensor.dim() != static_cast<std::int64_t>(extents.size())) {
    return false;
  }
  std::int64_t axis = 0;
  for (const Extent& extent : extents) {
    if (!extent.matches(tensor.size(axis++))) {
      return false;
    }
  }
  return true;
}

bool is_floating(const at::Tensor& tensor) {
  return c10::isFloatingType(tensor.scalar_type());
}

std::string config_disagreement(std::string_view model, std::string_view name) {
  return std::string(model) + " config disagrees with tensor '" + std::string(name) + "'";
}

std::string vocabulary_disagreement(std::string_view model, std::string_view name) {
  return std::string(model) + " vocabulary disagrees with tensor '" + std::string(name) + "'";
}

std::string dtype_disagreement(std::string_view model, std::string_view name) {
  return std::string(model) + " tensor has an unsupported dtype: '" + std::string(name) + "'";
}

} // namespace velmora::detail
