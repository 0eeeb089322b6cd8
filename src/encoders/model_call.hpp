#pragma once

// The entry of every public model call. Include only from .cpp files: it
// pulls in c10.
//
// A call's small and recurrent work runs on the calling thread: a parallel
// region per recurrence step or per small product waits, at every barrier,
// for the slowest member of the team, and on a busy machine that is a thread
// that has lost its core. Inside the call, parallelism comes only from
// for_each_unit (a call's independent units, one team per call) and from
// TeamProduct (one product large enough to pay for a fork and join). Because
// every plan's public methods go through here, that holds for a new plan as
// soon as it reports its errors as its own.

#include <utility>

#include <c10/core/InferenceMode.h>

#include "bundle/tensor_errors.hpp"
#include "encoders/calling_thread.hpp"

namespace velmora::detail {

// Runs `work` under an inference-mode guard with the calling thread's team
// held to one thread; errors of the tensor library leave as `Error`.
template <class Error, class Work> decltype(auto) model_call(Work&& work) {
  const c10::InferenceMode inference;
  const CallingThreadOnly calling_thread;
  return with_model_errors<Error>(std::forward<Work>(work));
}

} // namespace velmora::detail
