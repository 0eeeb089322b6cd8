// Errors of the kernel libraries inside a described run: the plan's error
// names the run instead of giving a kernel's words, the tensor library's own
// checks keep their text, and failed allocations stay allocation failures.

#include <new>
#include <stdexcept>

#include <c10/util/Exception.h>
#include <oneapi/dnnl/dnnl_common.hpp>

#include "bundle/tensor_errors.hpp"
#include "test_support.hpp"

namespace {

using velmora::detail::with_model_errors;
using velmora::detail::with_run_description;
using velmora::test::message_of;

struct PlanError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

const auto kRun = [] { return std::string("character model run of 140000 steps over 1 row"); };

template <class Throw> std::string plan_message(const Throw& raise) {
  return message_of<PlanError>(
      [&] { with_model_errors<PlanError>([&] { with_run_description(kRun, raise); }); });
}

TEST(KernelRunErrors, PlanErrorNamesTheRun) {
  EXPECT_EQ(
      plan_message([] { throw dnnl::error(dnnl_unimplemented, "could not create a primitive"); }),
      "character model run of 140000 steps over 1 row could not be set up by the kernel "
      "library");
  EXPECT_EQ(plan_message([] { TORCH_CHECK(false, "input must have 3 dimensions"); }),
            "character model run of 140000 steps over 1 row failed: input must have 3 dimensions");
  // A run inside a run keeps the inner description.
  EXPECT_EQ(plan_message([] {
              with_run_description([] { return std::string("matrix product of 8 rows"); },
                                   [] { throw dnnl::error(dnnl_runtime_error, "oneDNN"); });
            }),
            "matrix product of 8 rows could not be set up by the kernel library");
}

TEST(KernelRunErrors, AllocationFailuresAndOwnErrorsPass) {
  EXPECT_THROW(with_run_description(kRun,
                                    [] {
                                      TORCH_CHECK(false, "DefaultCPUAllocator: can't allocate "
                                                         "memory: you tried to allocate 9 bytes.");
                                    }),
               std::bad_alloc);
  EXPECT_THROW(with_run_description(kRun, [] { throw c10::OutOfMemoryError({}, "out of memory"); }),
               std::bad_alloc);
  EXPECT_EQ(message_of<std::invalid_argument>([] {
              with_run_description(kRun, [] { throw std::invalid_argument("bad word"); });
            }),
            "bad word");
}

} // namespace
