#include "bundle/tensor_checks.hpp"

#include <c10/core/ScalarType.h>

namespace velmora::detail {

namespace {

template <class Step>
std::int64_t checked_fold(std::int64_t total, std::initializer_list<std::int64_t> values,
                          Step step) {
  for (const std::int64_t value : values) {
    if (value < 0 || step(total, value, &total)) {
      return -1;
    }
  }
  return total;
}

} // namespace

std::int64_t checked_sum(std::initializer_list<std::int64_t> terms) {
  return checked_fold(0, terms, [](std::int64_t a, std::int64_t b, std::int64_t* out) {
    return __builtin_add_overflow(a, b, out);
  });
}

std::int64_t checked_product(std::initializer_list<std::int64_t> factors) {
  return checked_fold(1, factors, [](std::int64_t a, std::int64_t b, std::int64_t* out) {
    return __builtin_mul_overflow(a, b, out);
  });
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
