#include "held_signals.hpp"

#include <pthread.h>
#include <unistd.h>

#include <atomic>

namespace velmora::python {
namespace {

static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler must not take a lock");

// Which held signals came; written by the handler below, in any thread.
std::atomic<bool> arrived[NSIG];

void note(int signal) {
  arrived[signal].store(true);
}

// Signals that a fault raises in the faulting thread: returning from a
// handler that only notes one would run the faulting instruction again.
bool raised_by_a_fault(int signal) {
  return signal == SIGSEGV || signal == SIGBUS || signal == SIGFPE || signal == SIGILL ||
         signal == SIGTRAP || signal == SIGSYS;
}

} // namespace

HeldSignals::HeldSignals() {
  // The interpreter installs one handler for every signal it handles,
  // SIGINT's among them unless Python code set SIGINT's to SIG_DFL or
  // SIG_IGN, which leaves no interrupt to lose.
  struct sigaction interrupt = {};
  if (sigaction(SIGINT, nullptr, &interrupt) != 0 || (interrupt.sa_flags & SA_SIGINFO) != 0 ||
      interrupt.sa_handler == SIG_DFL || interrupt.sa_handler == SIG_IGN) {
    return;
  }
  for (int signal = 1; signal < NSIG; ++signal) {
    struct sigaction current = {};
    if (raised_by_a_fault(signal) || sigaction(signal, nullptr, &current) != 0 ||
        (current.sa_flags & SA_SIGINFO) != 0 || current.sa_handler != interrupt.sa_handler) {
      continue;
    }
    arrived[signal].store(false);
    struct sigaction holding = current;
    holding.sa_handler = note;
    holding.sa_flags &= ~SA_RESETHAND;
    if (sigaction(signal, &holding, nullptr) == 0) {
      saved_[signal] = current;
      held_.set(signal);
    }
  }
}

HeldSignals::~HeldSignals() {
  release(false);
}

bool HeldSignals::release(bool run_handlers) {
  if (held_.none()) {
    return true;
  }
  for (int signal = 1; signal < NSIG; ++signal) {
    if (held_.test(signal)) {
      sigaction(signal, &saved_[signal], nullptr);
    }
  }
  sigset_t blocked;
  sigemptyset(&blocked);
  pthread_sigmask(SIG_BLOCK, nullptr, &blocked);
  for (int signal = 1; signal < NSIG; ++signal) {
    if (held_.test(signal) && arrived[signal].exchange(false)) {
      // Raised in this thread, the handler has run when raise() returns; a
      // signal this thread blocks goes to the process, as it first came.
      if (sigismember(&blocked, signal) == 1) {
        kill(getpid(), signal);
      } else {
        raise(signal);
      }
    }
  }
  held_.reset();
  return !run_handlers || PyErr_CheckSignals() == 0;
}

} // namespace velmora::python
