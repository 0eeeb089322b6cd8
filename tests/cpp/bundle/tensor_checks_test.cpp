// The shared load-time checks and the translation of tensor-library errors
// into a plan's own.

#include "bundle/tensor_checks.hpp"

#include <limits>
#include <map>
#include <stdexcept>
#include <typeinfo>

#include <ATen/ops/zeros.h>
#include <c10/util/Exception.h>
#include <dnnl.hpp>
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
  // The kernel libraries' own errors derive from std::exception alone.
  const auto mapped = [](auto raise) {
    try {
      velmora::detail::with_model_errors<DepparseModelError>([&] { raise(); });
    } catch (const DepparseModelError& error) {
      return std::string(error.what());
    } catch (...) {
    }
    return std::string("<passed>");
  };
  EXPECT_EQ(mapped([] { throw dnnl::error(dnnl_out_of_memory, "could not create a primitive"); }),
            "could not create a primitive");
  EXPECT_EQ(mapped([] { throw std::bad_cast(); }), "std::bad_cast");
}

// The library's own errors, and the standard ones, leave exactly as thrown.
TEST(TensorErrors, OwnAndStandardErrorsPassUnchanged) {
  const auto passes = [](const auto& thrown) {
    try {
      velmora::detail::with_model_errors<DepparseModelError>([&]() -> int { throw thrown; });
    } catch (const std::exception& error) {
      return typeid(error) == typeid(thrown) && std::string(error.what()) == thrown.what();
    }
    return false;
  };
  EXPECT_TRUE(passes(std::bad_alloc()));
  EXPECT_TRUE(passes(std::invalid_argument("index is outside the sequence")));
  EXPECT_TRUE(passes(std::out_of_range("invalid string pool identifier")));
  EXPECT_TRUE(passes(std::logic_error("the synthetic ROOT word is immutable")));
  EXPECT_TRUE(passes(std::overflow_error("the document string pool is full")));
  EXPECT_TRUE(passes(std::runtime_error("plain")));
  EXPECT_TRUE(passes(velmora::ModelBundleError("bundle")));
  EXPECT_TRUE(passes(velmora::Seq2SeqModelError("another plan's")));
  EXPECT_TRUE(passes(velmora::detail::JsonError("missing JSON key 'config' at assets")));
  EXPECT_EQ(velmora::detail::with_model_errors<DepparseModelError>([] { return 7; }), 7);
}

} // namespace
