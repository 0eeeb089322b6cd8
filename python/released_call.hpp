#pragma once

#include "bindings.hpp"

// The methods that do model work run with the interpreter lock released, and
// two moments in a process's life break the ordinary way back:
//
// - Exit. Once the interpreter finalises, after the last exit function, a
//   thread that asks for the lock is ended by pthread_exit, and its unwinding
//   through a C++ frame ends the process in std::terminate; a daemon thread
//   still computing when the process destroys its static objects faults. So
//   from that moment on, a thread whose call ends, or which starts one, never
//   comes back: it parks for good, as a daemon thread blocked in a system
//   call would be. Until then (every exit function included) calls return as
//   usual. And when the process ends with a call still computing, it ends at
//   once with its exit status, before any static object is destroyed. The
//   exit waits for no call.
//
// - Fork. A child process has only the thread that forked it. A call that
//   another thread was computing at that moment may have held the tensor and
//   math libraries' locks, which then stay held in the child for ever. So in
//   such a child every model call and model load is refused at once, naming
//   the cause and the remedy.
namespace velmora::python {

// Releases the interpreter lock for a model call, as the call guard of a
// binding or around the call itself; constructed and destroyed with the lock
// held. The constructor raises RuntimeError in a process that was forked while
// another thread was inside a call.
class ReleasedCall {
public:
  ReleasedCall();
  ~ReleasedCall();
  ReleasedCall(const ReleasedCall&) = delete;
  ReleasedCall& operator=(const ReleasedCall&) = delete;

private:
  PyThreadState* state_;
};

// Registers what the interpreter's exit does with the calls still running,
// unless it is registered already. The module's execution slot calls it, and
// so does every call, in case Python code ran or dropped the exit functions.
void watch_interpreter_exit();

// The call guard of the constructors that load a model. Loading runs the same
// libraries as a call, so in a process forked while another thread was inside
// a call it raises the same RuntimeError.
class ModelLoad {
public:
  ModelLoad();
};

} // namespace velmora::python
