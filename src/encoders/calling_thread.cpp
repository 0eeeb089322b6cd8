#include "encoders/calling_thread.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <exception>

#include <pthread.h>

#include <ATen/Parallel.h>
#include <c10/core/InferenceMode.h>

extern "C" {
// torch's OpenMP runtime and the BLAS library inside libtorch_cpu; declared
// here because neither ships headers with the wheel.
int omp_get_max_threads();
int omp_in_parallel();
void omp_set_num_threads(int count);
// The by-value entry point (the lower-case names take a pointer).
int MKL_Set_Num_Threads_Local(int count);
}

namespace velmora::detail {
namespace {

// The team size the outermost active guard of this thread replaced: units
// started inside a guard still spread over the caller's team.
thread_local int guarded_team = 0;

// Set while units of a call run on the calling thread: a unit computes the
// same whichever thread runs it, so none of them takes the team.
thread_local bool running_units = false;

// Set in a child process on the thread that forked it: a region that thread
// opened with more than one thread would wait for ever for the copied team.
thread_local bool forked_thread = false;

void after_fork_in_child() {
  forked_thread = true;
}

// Registered once, when the library is loaded.
[[maybe_unused]] const int fork_handler = pthread_atfork(nullptr, nullptr, after_fork_in_child);

// The team size the calling thread may gather now.
int own_team() {
  return forked_thread ? 1 : at::get_num_threads();
}

// Runs units [first, end) in order on the calling thread.
void run_on_caller(std::size_t first, std::size_t end,
                   const std::function<void(std::size_t)>& run) {
  const bool outer = running_units;
  running_units = true;
  try {
    for (std::size_t i = first; i < end; ++i) {
      run(i);
    }
  } catch (...) {
    running_units = outer;
    throw;
  }
  running_units = outer;
}

} // namespace

CallingThreadOnly::CallingThreadOnly(bool active) {
  if (!active) {
    return;
  }
  // ATen sets a thread's team size on its first parallel call, from the
  // BLAS library's count when no size was ever set: asking it first keeps
  // that from undoing the guard inside it, or from reading the guard's count
  // as the caller's team.
  const int team = at::get_num_threads();
  // The BLAS library counts its threads apart from the OpenMP team: on a
  // thread of a region of units the team reads one while the library would
  // still open a region of its own for every product.
  blas_local_ = MKL_Set_Num_Threads_Local(1);
  blas_set_ = true;
  if (team <= 1) {
    return;
  }
  team_ = team;
  // A forked thread keeps its count held to one, and lends nothing.
  if (guarded_team == 0 && !forked_thread) {
    guarded_team = team;
    outermost_ = true;
  }
  omp_set_num_threads(1);
}

CallingThreadOnly::~CallingThreadOnly() {
  if (blas_set_) {
    MKL_Set_Num_Threads_Local(blas_local_);
  }
  if (team_ == 0) {
    return;
  }
  omp_set_num_threads(team_);
  if (outermost_) {
    guarded_team = 0;
  }
}

TeamProduct::TeamProduct(std::int64_t multiply_adds) {
  if (multiply_adds < kParallelWork || guarded_team <= 1 || running_units ||
      omp_in_parallel() != 0) {
    return;
  }
  // 0 hands the BLAS library back its process-wide count.
  blas_local_ = MKL_Set_Num_Threads_Local(0);
  team_ = omp_get_max_threads();
  omp_set_num_threads(guarded_team);
  lent_ = true;
}

TeamProduct::~TeamProduct() {
  if (!lent_) {
    return;
  }
  omp_set_num_threads(team_);
  MKL_Set_Num_Threads_Local(blas_local_);
}

void for_each_unit(std::size_t count, const std::function<void(std::size_t)>& run) {
  const int team = omp_in_parallel() != 0 ? 1 : std::max(own_team(), guarded_team);
  if (team <= 1 || count < 2) {
    // One unit alone runs on the calling thread too: a team working on its
    // recurrence would meet at every step.
    const CallingThreadOnly calling_thread(team > 1);
    for (std::size_t i = 0; i < count; ++i) {
      run(i);
    }
    return;
  }
  // The first unit runs on the calling thread and tells what the others
  // will cost: units that would all be done before a team could gather stay
  // on the calling thread too.
  const CallingThreadOnly calling_thread;
  const auto started = std::chrono::steady_clock::now();
  run_on_caller(0, 1, run);
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
  const std::size_t first = 1;
  if (count - first < 2 || took.count() * static_cast<double>(count - first) < kTeamWorthSeconds) {
    run_on_caller(first, count, run);
    return;
  }
  std::atomic<std::size_t> next{first};
  // The lowest unit that failed so far (count: none). Units are taken in
  // order, so every unit below a failed one has started and runs to its end:
  // the error reported is the one a run in order would report first.
  std::atomic<std::size_t> failed{count};
  std::exception_ptr first_error;
  const int workers =
      static_cast<int>(std::min<std::size_t>(static_cast<std::size_t>(team), count - first));
  // The region is opened here rather than through ATen's parallel loop, which
  // compiles to a plain loop in code built without OpenMP. Inside a guard the
  // calling thread's own team is one; the clause gives the units the team
  // the guard replaced, for this one region.
#pragma omp parallel num_threads(workers)
  {
    // Thread-local state does not follow the work onto the pool's threads.
    const c10::InferenceMode mode;
    const CallingThreadOnly calling_thread;
    for (std::size_t i = next.fetch_add(1); i < count && i < failed.load(); i = next.fetch_add(1)) {
      try {
        run(i);
      } catch (...) {
        // An exception must not leave the region.
#pragma omp critical(velmora_for_each_unit)
        if (i < failed.load()) {
          failed.store(i);
          first_error = std::current_exception();
        }
      }
    }
  }
  if (first_error) {
    std::rethrow_exception(first_error);
  }
}

} // namespace velmora::detail
