#include "encoders/calling_thread.hpp"

#include <ATen/Parallel.h>

extern "C" {
// torch's OpenMP runtime and the BLAS library inside libtorch_cpu; declared
// here because neither ships headers with the wheel.
int omp_get_max_threads();
void omp_set_num_threads(int count);
// The by-value entry point (the lower-case names take a pointer).
int MKL_Set_Num_Threads_Local(int count);
}

namespace velmora::detail {

CallingThreadOnly::CallingThreadOnly(bool active) {
  if (!active) {
    return;
  }
  // ATen sets a thread's team size on its first parallel call; asking it
  // first keeps that from undoing the guard inside it.
  const int team = at::get_num_threads();
  if (team <= 1) {
    return;
  }
  team_ = team;
  omp_set_num_threads(1);
  blas_local_ = MKL_Set_Num_Threads_Local(1);
}

CallingThreadOnly::~CallingThreadOnly() {
  if (team_ == 0) {
    return;
  }
  MKL_Set_Num_Threads_Local(blas_local_);
  omp_set_num_threads(team_);
}

} // namespace velmora::detail
