// The shared load-time checks and the translation of tensor-library errors
// into a plan's own.

#include "bundle/tensor_checks.hpp"

#include <limits>
#include <map>
#include <stdexcept>

#include <ATen/ops/zeros.h>
#include <c10/util/Exception.h>
#include <gtest/gtest.h>

#include <velmora/errors.hpp>

#include "bundle/tensor_errors.hpp"

namespace {

using velmora::DepparseModelError;
using velmora::detail::Extent;

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

TEST(TensorChecks, ArithmeticOnConfiguredSizesNeverWraps) {
  EXPECT_EQ(velmora::detail::checked_sum({2, 3, 4}), 9);
  EXPECT_EQ(velmora::detail::checked_sum({kMax, 1}), -1);
  EXPECT_EQ(velmora::detail::checked_sum({5, -1}), -1);
  EXPECT_EQ(velmora::detail::checked_product({4, kMax / 4}), kMax - 3);
  EXPECT_EQ(velmora::detail::checked_product({4, kMax / 4 + 1}), -1);
  EXPECT_EQ(velmora::detail::checked_product({0, -2}), -1);
}

TEST(TensorChecks, ShapesMatchExactlyAndNegativeSizesMatchNothing) {
  const at::Tensor matrix = at::zeros({3, 0});
  EXPECT_TRUE(velmora::detail::has_shape(matrix, {3, 0}));
  EXPECT_TRUE(velmora::detail::has_shape(matrix, {Extent::any(), 0}));
  EXPECT_FALSE(velmora::detail::has_shape(matrix, {3}));
  EXPECT_FALSE(velmora::detail::has_shape(matrix, {3, 0, 1}));
  // A configured -1 is not "any".
  EXPECT_FALSE(velmora::detail::has_shape(matrix, {-1, 0}));
}

TEST(TensorChecks, VocabularyIdsAndReservedRowsMustBeRows) {
  const at::Tensor embedding = at::zeros({4, 2});
  const auto refusal = [&](const std::map<std::string, std::int64_t>& units,
                           std::int64_t reserved) {
    try {
      velmora::detail::require_rows_for<DepparseModelError>("depparse", "e", embedding, units,
                                                            reserved);
    } catch (const DepparseModelError& error) {
      return std::string(error.what());
    }
    return std::string("fits");
  };
  const std::string refused = "depparse vocabulary disagrees with tensor 'e'";
  EXPECT_EQ(refusal({{"a", 0}, {"b", 3}}, 4), "fits");
  EXPECT_EQ(refusal({{"a", 4}}, 0), refused);
  EXPECT_EQ(refusal({{"a", -1}}, 0), refused);
  EXPECT_EQ(refusal({}, 5), refused);
}

TEST(TensorErrors, TensorLibraryErrorsBecomeThePlansWithoutBacktrace) {
  try {
    velmora::detail::with_model_errors<DepparseModelError>([] {
      return at::zeros({2, 3}).matmul(at::zeros({2, 3}));
    });
    FAIL() << "multiplied";
  } catch (const DepparseModelError& error) {
    const std::string message = error.what();
    EXPECT_NE(message.find("cannot be multiplied"), std::string::npos) << message;
    EXPECT_EQ(message.find('\n'), std::string::npos) << message;
  }
  // Anything else passes unchanged, and a result comes back as it is.
  EXPECT_THROW(velmora::detail::with_model_errors<DepparseModelError>(
                   []() -> int { throw std::invalid_argument("mine"); }),
               std::invalid_argument);
  EXPECT_EQ(velmora::detail::with_model_errors<DepparseModelError>([] { return 7; }), 7);
}

} // namespace
