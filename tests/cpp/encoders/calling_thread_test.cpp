// The calling-thread guard: inside it ATen's parallel loops, the oneDNN
// kernels and the BLAS library stay on the calling thread; outside it, and
// after it, the thread count is what it was.

#include <sys/resource.h>

#include <set>
#include <thread>

#include <ATen/ATen.h>
#include <ATen/Parallel.h>
#include <c10/core/InferenceMode.h>
#include <gtest/gtest.h>

#include "encoders/calling_thread.hpp"
#include "encoders/lstm.hpp"

namespace {

using velmora::detail::CallingThreadOnly;

double cpu_seconds(int who) {
  rusage usage{};
  getrusage(who, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         1e-6 * static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
}

// CPU seconds of the whole process and of the calling thread spent in `run`.
template <class Run> std::pair<double, double> cpu_of(Run run) {
  const double process = cpu_seconds(RUSAGE_SELF);
  const double thread = cpu_seconds(RUSAGE_THREAD);
  run();
  return {cpu_seconds(RUSAGE_SELF) - process, cpu_seconds(RUSAGE_THREAD) - thread};
}

class CallingThread : public ::testing::Test {
protected:
  void SetUp() override { at::set_num_threads(4); }
  void TearDown() override { at::set_num_threads(1); }
};

TEST_F(CallingThread, ParallelLoopsStayOnTheCallerAndTheCountComesBack) {
  const auto threads_of_loop = [] {
    std::set<std::thread::id> ids;
    std::mutex lock;
    at::parallel_for(0, 1 << 16, 1, [&](std::int64_t, std::int64_t) {
      const std::lock_guard<std::mutex> hold(lock);
      ids.insert(std::this_thread::get_id());
    });
    return ids;
  };
  {
    const CallingThreadOnly outer;
    EXPECT_EQ(at::get_num_threads(), 1);
    {
      const CallingThreadOnly inner;
      const CallingThreadOnly inactive(false);
      EXPECT_EQ(at::get_num_threads(), 1);
    }
    EXPECT_EQ(at::get_num_threads(), 1);
    EXPECT_EQ(threads_of_loop(), std::set<std::thread::id>{std::this_thread::get_id()});
  }
  EXPECT_EQ(at::get_num_threads(), 4);
  {
    const CallingThreadOnly inactive(false);
    EXPECT_EQ(at::get_num_threads(), 4);
  }
  // Another thread's count is its own.
  std::thread([] {
    const CallingThreadOnly guard;
    EXPECT_EQ(at::get_num_threads(), 1);
  }).join();
  EXPECT_EQ(at::get_num_threads(), 4);
}

// The work done inside the guard is counted on the calling thread: a team
// of four would put about three quarters of it on other threads.
TEST_F(CallingThread, OneDnnAndBlasKernelsStayOnTheCaller) {
  c10::InferenceMode mode;
  const velmora::detail::LstmShape shape{1, false};
  const std::vector<at::Tensor> params = {at::randn({1024, 64}), at::randn({1024, 256}),
                                          at::randn({1024}), at::randn({1024})};
  const at::Tensor input = at::randn({64, 200, 64});
  const at::Tensor h0 = at::zeros({1, 64, 256});
  const at::Tensor a = at::randn({768, 768});
  const auto work = [&] {
    for (int i = 0; i < 3; ++i) {
      velmora::detail::lstm_dense(input, h0, h0, params, shape);
      at::mm(a, a);
    }
  };
  work();
  const CallingThreadOnly guard;
  const auto [process, thread] = cpu_of(work);
  EXPECT_GT(thread, 0.0);
  EXPECT_LT(process, 1.5 * thread) << "process " << process << " s, caller " << thread << " s";
}

} // namespace
