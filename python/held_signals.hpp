#pragma once

#include "bindings.hpp"

#include <bitset>
#include <csignal>

namespace velmora::python {

// Holds back, while it is in force, the signals that the interpreter's own
// handler takes: one that comes meanwhile is only noted, and release() puts
// the interpreter's handler back and raises the signal again, so that the
// interpreter sees it then, once.
//
// The module's execution slot holds signals for the whole of its run, for
// nanobind 2.15.0: it sets up its runtime by running Python code and clears
// whatever error that code raised, so that a Ctrl-C handled there became a
// KeyboardInterrupt nobody saw, and the import went on as if none had come.
//
// Used on one thread with the interpreter lock held, never nested.
class HeldSignals {
public:
  HeldSignals();
  // Releases without running the handlers, if release() was not called.
  ~HeldSignals();
  HeldSignals(const HeldSignals&) = delete;
  HeldSignals& operator=(const HeldSignals&) = delete;

  // Puts the handlers back and raises again each signal that came while they
  // were held. With `run_handlers`, runs the interpreter's handlers for them
  // at once (on the main thread; elsewhere the main thread runs them later)
  // and returns false, with the Python error set, when one of them raised.
  bool release(bool run_handlers);

private:
  std::bitset<NSIG> held_;
  struct sigaction saved_[NSIG] = {};
};

} // namespace velmora::python
