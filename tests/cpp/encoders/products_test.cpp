// The oneDNN product runs a long input in row blocks of a few fixed sizes;
// the blocks must come back in order and in the input's shape, whatever the
// row count, the strides of the input and the presence of a bias.

#include <cstdint>

#include <ATen/ATen.h>
#include <c10/core/InferenceMode.h>
#include <gtest/gtest.h>

#include "encoders/products.hpp"

namespace {

TEST(Products, RowBlocksReassembleToTheWholeProduct) {
  c10::InferenceMode guard;
  at::manual_seed(7);
  const at::Tensor weight = at::randn({21, 33});
  const at::Tensor bias = at::randn({21});
  // Fewer rows than a block, exact block sizes, and counts that leave a
  // remainder at every level (512 + 384 + 96 + 16 + 3 for 1,011).
  for (const std::int64_t rows : {1, 7, 8, 37, 131, 512, 600, 1011}) {
    SCOPED_TRACE(rows);
    const at::Tensor input = at::randn({rows, 33});
    const at::Tensor expected = at::linear(input, weight, bias);
    const at::Tensor got = velmora::detail::linear(input, weight, bias);
    ASSERT_EQ(got.sizes(), expected.sizes());
    EXPECT_TRUE(at::allclose(got, expected, 1e-5, 1e-5));
    // The same rows as [3, rows, 33] read through a transposed view.
    const at::Tensor stacked = at::randn({rows, 3, 33}).transpose(0, 1);
    const at::Tensor batched = velmora::detail::linear(stacked, weight);
    ASSERT_EQ(batched.sizes(), (at::IntArrayRef{3, rows, 21}));
    EXPECT_TRUE(at::allclose(batched, at::linear(stacked, weight), 1e-5, 1e-5));
  }
}

} // namespace
