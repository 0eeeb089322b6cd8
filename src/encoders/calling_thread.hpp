#pragma once

// Small tensor work on the calling thread alone. Opening a parallel region
// costs a fork and a join; for a product of a few thousand multiply-adds
// that is most of the time, and on a machine whose cores are busy a member
// of the team that is not running stalls the whole region. The guard lowers
// the team size of the calling thread only (the OpenMP runtime's, which
// ATen's parallel loops and the oneDNN kernels read, and the BLAS library's
// thread-local count) and restores both on exit; the process-wide thread
// count never changes.
//
// In a child process, the thread that forked it has no team: fork copies the
// OpenMP runtime's record of that thread's team but not its threads. Guarded
// work on that thread runs on it alone, units included; threads the child
// starts later gather teams of their own.

#include <cstddef>
#include <cstdint>
#include <functional>

namespace velmora::detail {

// Multiply-adds from which one product may take the caller's team.
constexpr std::int64_t kParallelWork = std::int64_t{1} << 20;

// Seconds of work, on one thread, below which a call's units are not worth
// gathering the team for. A region costs more than its fork and join: a
// unit on another thread first builds that thread's own kernel primitives
// for its shapes (a millisecond or more for a recurrent layer), and on a busy
// machine the region waits for its slowest member, which may wait for a core
// for about a scheduler slice.
constexpr double kTeamWorthSeconds = 20e-3;

class CallingThreadOnly {
public:
  // Inactive when `active` is false, so that call sites can decide by size.
  explicit CallingThreadOnly(bool active = true);
  ~CallingThreadOnly();
  CallingThreadOnly(const CallingThreadOnly&) = delete;
  CallingThreadOnly& operator=(const CallingThreadOnly&) = delete;

private:
  int team_ = 0;       // the team size to restore; 0 when inactive
  int blas_local_ = 0; // the BLAS thread-local count to restore (0: none)
  bool blas_set_ = false;
  bool outermost_ = false; // the first active guard of its thread
};

// Lends the team that the thread's outermost CallingThreadOnly replaced back
// to the calling thread for one product of `multiply_adds` multiply-adds, when
// that reaches kParallelWork. Inactive on a thread running a unit, and without
// an enclosing guard (the team is then the caller's anyway). Never wrap a
// recurrence in it: each step would fork and join the team.
class TeamProduct {
public:
  explicit TeamProduct(std::int64_t multiply_adds);
  ~TeamProduct();
  TeamProduct(const TeamProduct&) = delete;
  TeamProduct& operator=(const TeamProduct&) = delete;

private:
  int team_ = 0;       // the calling thread's team size to restore
  int blas_local_ = 0; // the BLAS thread-local count to restore
  bool lent_ = false;
};

// Runs `run(i)` for every i in [0, count), each unit on one thread. The
// first unit runs on the calling thread; when the others would take at least
// kTeamWorthSeconds more at its pace and the team has several threads, they
// spread over it, each thread taking the next unit as it finishes one (under
// CallingThreadOnly and an inference-mode guard); otherwise they run in order
// on the calling thread. Inside a CallingThreadOnly guard the team is the one
// the guard replaced, so a stage can keep its small operations on the caller
// and still spread its units. The team joins once per call instead of once
// per recurrence step, so a thread that loses its core on a busy machine
// delays one unit, not every step of every unit. The exception of the first
// failing unit in order reaches the caller, as in a run in order; units after
// it may be skipped.
void for_each_unit(std::size_t count, const std::function<void(std::size_t)>& run);

} // namespace velmora::detail
