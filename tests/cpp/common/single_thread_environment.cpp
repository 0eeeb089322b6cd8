#include <gtest/gtest.h>

#include <ATen/Parallel.h>

namespace {

// Linked into every test executable. The test models are tiny: an intra-op
// thread pool only adds contention, which on a busy machine slows the tests by
// orders of magnitude, and results must not depend on the thread count.
class SingleThreaded : public ::testing::Environment {
public:
  void SetUp() override { at::set_num_threads(1); }
};

[[maybe_unused]] ::testing::Environment* const kSingleThreaded =
    ::testing::AddGlobalTestEnvironment(new SingleThreaded);

} // namespace
