#include "bundle/tensor_view.hpp"

#include <stdexcept>

#include <ATen/ATen.h>
#include <gtest/gtest.h>

#include <velmora/json.hpp>

#include "test_support.hpp"

namespace {

using velmora::ModelBundle;
using velmora::detail::bundle_scalar_type;
using velmora::detail::bundle_tensor_view;

at::Tensor view(const ModelBundle& bundle, const std::string& name) {
  const velmora::TensorDescriptor& tensor = bundle.tensor(name);
  return bundle_tensor_view(bundle, tensor, bundle_scalar_type(tensor.dtype).value());
}

TEST(TensorView, DtypeTableIsTheCommonOne) {
  EXPECT_EQ(bundle_scalar_type("float32"), at::kFloat);
  EXPECT_EQ(bundle_scalar_type("float64"), at::kDouble);
  EXPECT_EQ(bundle_scalar_type("float16"), at::kHalf);
  EXPECT_EQ(bundle_scalar_type("bfloat16"), at::kBFloat16);
  EXPECT_EQ(bundle_scalar_type("int64"), at::kLong);
  EXPECT_EQ(bundle_scalar_type("int32"), at::kInt);
  EXPECT_EQ(bundle_scalar_type("int16"), at::kShort);
  EXPECT_EQ(bundle_scalar_type("int8"), at::kChar);
  EXPECT_EQ(bundle_scalar_type("uint8"), at::kByte);
  EXPECT_EQ(bundle_scalar_type("bool"), at::kBool);
  for (const char* refused :
       {"uint16", "uint32", "uint64", "complex64", "complex128", "float", "Float32", ""}) {
    EXPECT_FALSE(bundle_scalar_type(refused).has_value()) << refused;
  }
}

TEST(TensorView, ViewsMappedBytesWithoutCopying) {
  const auto dir = velmora::test::fixture("bundle/valid");
  const ModelBundle bundle(dir, false);
  const auto reference = velmora::detail::load_json(dir / "reference.json");

  const at::Tensor weight = view(bundle, "embedding.weight");
  EXPECT_EQ(weight.sizes(), at::IntArrayRef({5, 3}));
  EXPECT_TRUE(weight.is_contiguous());
  EXPECT_EQ(weight.const_data_ptr(),
            static_cast<const void*>(bundle.tensor_data("embedding.weight")));
  const auto& expected = reference.at("embedding.weight").as_array();
  ASSERT_EQ(weight.numel(), static_cast<std::int64_t>(expected.size()));
  for (std::int64_t i = 0; i < weight.numel(); ++i) {
    EXPECT_EQ(weight.view(-1)[i].item<float>(), static_cast<float>(expected[i].as_number()));
  }

  const at::Tensor brain = view(bundle, "brain");
  EXPECT_EQ(brain.to(at::kFloat)[1].item<float>(), -2.25f);
  EXPECT_EQ(view(bundle, "mask").sum().item<std::int64_t>(), 2);
  EXPECT_EQ(view(bundle, "scale").dim(), 0);
  EXPECT_EQ(view(bundle, "scale").item<double>(), 0.125);
  EXPECT_EQ(view(bundle, "empty").sizes(), at::IntArrayRef({0, 2}));
  EXPECT_EQ(view(bundle, "ids")[2].item<std::int64_t>(), std::int64_t{1} << 40);

  const ModelBundle empty(velmora::test::fixture("bundle/cases/empty_tensor_file"), false);
  EXPECT_EQ(view(empty, "none").numel(), 0);
}

TEST(TensorView, RefusesAnElementTypeOfAnotherSize) {
  const ModelBundle bundle(velmora::test::fixture("bundle/valid"), false);
  EXPECT_THROW(bundle_tensor_view(bundle, bundle.tensor("half"), at::kFloat), std::logic_error);
  EXPECT_THROW(bundle_tensor_view(bundle, bundle.tensor("pairs"), at::kByte), std::logic_error);
  // Same width is the caller's choice: the raw bits of a uint16 as int16.
  EXPECT_EQ(bundle_tensor_view(bundle, bundle.tensor("wide"), at::kShort)[2].item<std::int16_t>(),
            2);
}

} // namespace
