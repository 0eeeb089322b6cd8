// The calling-thread guard: inside it ATen's parallel loops, the oneDNN
// kernels and the BLAS library stay on the calling thread; outside it, and
// after it, the thread count is what it was. A call's units spread over the
// team, each on one thread.

#include <sched.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

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

// Every unit runs once, on the calling thread only; the units spread over
// the team (inside a guard too: the team is the one the guard replaced), and
// the first error of a unit reaches the caller.
TEST_F(CallingThread, UnitsRunOnceEachOverTheTeamAndTheirErrorReachesTheCaller) {
  std::vector<std::atomic<int>> runs(64);
  std::set<std::thread::id> ids;
  std::mutex lock;
  const auto unit = [&](std::size_t i) {
    runs[i].fetch_add(1);
    EXPECT_EQ(at::get_num_threads(), 1);
    {
      const std::lock_guard<std::mutex> hold(lock);
      ids.insert(std::this_thread::get_id());
    }
    // The first unit, which runs before the team gathers, makes the others
    // look worth a team; the second waits for a second thread, so that one
    // thread cannot take every unit before the others start. The bound only
    // keeps a broken spread from hanging.
    if (i == 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (i == 1 && std::chrono::steady_clock::now() < until) {
      {
        const std::lock_guard<std::mutex> hold(lock);
        if (ids.size() > 1) {
          break;
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  };
  {
    const CallingThreadOnly guard;
    velmora::detail::for_each_unit(runs.size(), unit);
    EXPECT_EQ(at::get_num_threads(), 1);
  }
  EXPECT_EQ(at::get_num_threads(), 4);
  EXPECT_GT(ids.size(), 1U);
  for (const std::atomic<int>& count : runs) {
    EXPECT_EQ(count.load(), 1);
  }
  // Whichever thread meets its failure first, the error is the first failing
  // unit's in order, as in a run in order.
  for (int attempt = 0; attempt < 20; ++attempt) {
    try {
      velmora::detail::for_each_unit(64, [](std::size_t i) {
        if (i == 0 || i == 3) {
          std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        if (i == 3 || i == 40) {
          throw std::runtime_error("unit " + std::to_string(i));
        }
      });
      ADD_FAILURE() << "no error";
    } catch (const std::runtime_error& error) {
      EXPECT_STREQ(error.what(), "unit 3");
    }
  }
  EXPECT_EQ(at::get_num_threads(), 4);
}

// Holds the calling thread to all but one of the cores it may use: the
// machine's other processes then tell nothing about its cores, and a product
// is lent the whole team whatever they run.
class FewerCores {
public:
  FewerCores() {
    sched_getaffinity(0, sizeof before_, &before_);
    cpu_set_t fewer = before_;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
      if (CPU_ISSET(cpu, &fewer)) {
        CPU_CLR(cpu, &fewer);
        break;
      }
    }
    held_ = CPU_COUNT(&fewer) > 0 && sched_setaffinity(0, sizeof fewer, &fewer) == 0;
  }
  ~FewerCores() {
    if (held_) {
      sched_setaffinity(0, sizeof before_, &before_);
    }
  }
  FewerCores(const FewerCores&) = delete;
  FewerCores& operator=(const FewerCores&) = delete;
  bool held() const { return held_; }

private:
  cpu_set_t before_{};
  bool held_ = false;
};

// A large product inside a guard gets the team back; a small one, a product
// inside a unit, and one outside any guard keep what they have.
TEST_F(CallingThread, OnlyLargeProductsOutsideUnitsTakeTheTeam) {
  const FewerCores fewer_cores;
  if (!fewer_cores.held()) {
    GTEST_SKIP() << "needs a second core";
  }
  const auto team_in = [](std::int64_t work) {
    const velmora::detail::TeamProduct product(work);
    return at::get_num_threads();
  };
  EXPECT_EQ(team_in(velmora::detail::kParallelWork), 4);
  {
    const CallingThreadOnly guard;
    EXPECT_EQ(team_in(velmora::detail::kParallelWork - 1), 1);
    EXPECT_EQ(team_in(velmora::detail::kParallelWork), 4);
    EXPECT_EQ(at::get_num_threads(), 1);
    // Units on the team's threads and units kept on the calling thread alike.
    for (const int pause_ms : {0, 2}) {
      std::vector<int> in_units(8, 0);
      velmora::detail::for_each_unit(in_units.size(), [&](std::size_t i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
        in_units[i] = team_in(velmora::detail::kParallelWork);
      });
      EXPECT_EQ(in_units, std::vector<int>(8, 1)) << pause_ms;
    }
  }
  EXPECT_EQ(at::get_num_threads(), 4);
}

// Units that take less together than a team costs to gather stay on the
// calling thread.
TEST_F(CallingThread, QuickUnitsStayOnTheCaller) {
  std::set<std::thread::id> ids;
  std::mutex lock;
  velmora::detail::for_each_unit(64, [&](std::size_t) {
    const std::lock_guard<std::mutex> hold(lock);
    ids.insert(std::this_thread::get_id());
  });
  EXPECT_EQ(ids, std::set<std::thread::id>{std::this_thread::get_id()});
}

} // namespace
