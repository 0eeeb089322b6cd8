// The riskiest dependency: an ahead-of-time compiled model package, exported
// by the fixture generator, loaded and run through libtorch's package loader.

#include <fstream>
#include <sstream>
#include <vector>

#include <ATen/ATen.h>
#include <torch/csrc/inductor/aoti_package/model_package_loader.h>

#include "test_support.hpp"

namespace {

struct Case {
  int64_t length = 0;
  int64_t hidden = 0;
  std::vector<int64_t> ids;
  std::vector<int64_t> mask;
  std::vector<float> output;
};

std::vector<Case> read_cases(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::vector<Case> cases;
  Case c;
  while (in >> c.length >> c.hidden) {
    c.ids.resize(c.length);
    c.mask.resize(c.length);
    c.output.resize(c.length * c.hidden);
    for (auto& v : c.ids)
      in >> v;
    for (auto& v : c.mask)
      in >> v;
    for (auto& v : c.output)
      in >> v;
    cases.push_back(c);
  }
  return cases;
}

TEST(AotPackage, RunsTwoLengthsLikeTheEagerModule) {
  auto package = velmora::test::fixture("aot/tiny_encoder.pt2");
  auto cases = read_cases(velmora::test::fixture("aot/tiny_encoder.txt"));
  ASSERT_EQ(cases.size(), 2u);
  ASSERT_NE(cases[0].length, cases[1].length);

  torch::inductor::AOTIModelPackageLoader loader(package.string(), "model", false, 1, -1);
  for (const Case& c : cases) {
    auto ids = at::tensor(c.ids, at::kLong).reshape({1, c.length});
    auto mask = at::tensor(c.mask, at::kLong).reshape({1, c.length});
    std::vector<at::Tensor> outputs = loader.run({ids, mask});
    ASSERT_EQ(outputs.size(), 1u);
    const at::Tensor& out = outputs[0];
    ASSERT_EQ(out.scalar_type(), at::kFloat);
    ASSERT_EQ(out.sizes(), at::IntArrayRef({1, c.length, c.hidden}));
    auto expected = at::tensor(c.output, at::kFloat).reshape({1, c.length, c.hidden});
    // Compiled kernels may reorder the reduction; float32 round-off only.
    EXPECT_TRUE(at::allclose(out, expected, /*rtol=*/1e-5, /*atol=*/1e-6))
        << "length " << c.length << ": max abs diff " << (out - expected).abs().max().item<float>();
  }
}

} // namespace
