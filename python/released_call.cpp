#include "released_call.hpp"

#include <pthread.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <new>
#include <stdexcept>
#include <thread>

namespace velmora::python {
namespace {

constexpr const char* kForkedDuringCall =
    "model calls are refused in a process forked while another thread was inside one, as the "
    "libraries that call used may stay locked for ever: start worker processes with the 'spawn' "
    "or 'forkserver' method, or fork before threads start calling";

// The calls running without the interpreter lock. Never destroyed: parked
// and computing threads read it while the process exits.
struct Calls {
  std::mutex mutex;
  std::condition_variable returned;
  int computing = 0; // threads inside a call
  int returning = 0; // threads taking the lock back after their call
  // Set, with the interpreter lock held too, when the interpreter's
  // finalisation begins: from then on only the thread that finalises it
  // comes back from a call.
  bool exiting = false;
  std::thread::id exiting_thread;
  // Set in a child forked while a call was computing.
  bool forked_during_call = false;
  // Set in a child forked while the interpreter had other threads.
  bool forked_beside_threads = false;
  // Read and written with the interpreter lock held.
  bool watching = false;
};

Calls& calls = *new Calls();

[[noreturn]] void park() {
  for (;;) {
    pause();
  }
}

bool parks_at_exit() {
  return calls.exiting && std::this_thread::get_id() != calls.exiting_thread;
}

// Runs first when the process exits: glibc runs the exit handlers registered
// last first, the destructors of static objects among them.
void end_before_statics(int status, void*) {
  calls.mutex.lock();
  if (calls.computing > 0) {
    std::fflush(nullptr);
    _exit(status);
  }
  calls.mutex.unlock();
}

// Runs at the very end of the interpreter's finalisation, just before the
// process exits. A call still computing may have constructed static objects
// (the kernel library's caches, say) during the finalisation, so the exit
// handler is registered only now, after them.
void before_process_exit() {
  const std::lock_guard lock(calls.mutex);
  if (calls.computing > 0) {
    on_exit(end_before_statics, nullptr);
  }
}

// Runs on the finalising thread, with the lock held, after the last exit
// function and before the interpreter stops handing its lock to other
// threads.
void finalisation_begins() {
  std::unique_lock lock(calls.mutex);
  calls.exiting = true;
  calls.exiting_thread = std::this_thread::get_id();
  const bool computing = calls.computing > 0;
  if (calls.returning > 0) {
    // These threads decided to come back before finalisation began: they
    // take the lock once more, see it and park.
    lock.unlock();
    const nb::gil_scoped_release release;
    lock.lock();
    calls.returned.wait(lock, [] { return calls.returning == 0; });
    lock.unlock();
  } else {
    lock.unlock();
  }
  if (computing && Py_AtExit(before_process_exit) != 0) {
    on_exit(end_before_statics, nullptr);
  }
  // The Python frames of the threads still running (daemon threads, parked
  // ones among them) never end, nor, in a forked child, those of the threads
  // its parent had, so what they hold is never freed: that is no leak of the
  // bindings' to report.
  const auto frames = nb::cast<nb::dict>(nb::module_::import_("sys").attr("_current_frames")());
  if (calls.forked_beside_threads ||
      nb::len(frames) > (frames.contains(PyThread_get_thread_ident()) ? 1 : 0)) {
    nb::set_leak_warnings(false);
  }
}

int watch_again(void*) {
  try {
    watch_interpreter_exit();
  } catch (nb::python_error& e) {
    e.discard_as_unraisable("registering what the interpreter's exit does with running calls");
  } catch (const std::exception&) {
  }
  return 0;
}

// The destructor of the sentinel that watch_interpreter_exit() hands to
// atexit as an argument of a function that does nothing. atexit releases the
// arguments of its functions after it has called every one of them, so at the
// interpreter's exit this runs after the last exit function (whenever it was
// registered) and before finalisation proper. Python code that runs atexit's
// functions itself (atexit._run_exitfuncs(), atexit._clear()) releases it
// too, with its own frame running: the sentinel is then registered again,
// once that code is done.
void sentinel_released(PyObject*) {
  if (!calls.watching) {
    return; // never registered: atexit refused it
  }
  calls.watching = false;
  PyObject* raised = PyErr_GetRaisedException();
  // A frame that could not be made is taken to be running.
  const bool python_code = PyEval_GetFrame() != nullptr || PyErr_Occurred() != nullptr;
  PyErr_Clear();
  if (python_code) {
    Py_AddPendingCall(watch_again, nullptr);
  } else {
    try {
      finalisation_begins();
    } catch (nb::python_error& e) {
      e.discard_as_unraisable("marking the interpreter's exit for running calls");
    } catch (const std::exception&) {
    }
  }
  PyErr_SetRaisedException(raised);
}

// Fork handlers. The mutex is held across the fork, so the child's copy of
// the counts is whole; the threads counted there do not exist in the child.
void before_fork() {
  calls.mutex.lock();
}

void after_fork_in_parent() {
  calls.mutex.unlock();
}

// Whether the interpreter has a thread state besides the current thread's.
// Read in the forked child, where no other thread runs to change the list.
bool other_python_threads() {
  PyInterpreterState* interpreter = PyInterpreterState_Main();
  if (interpreter == nullptr) {
    return false;
  }
  int count = 0;
  for (PyThreadState* state = PyInterpreterState_ThreadHead(interpreter); state != nullptr;
       state = PyThreadState_Next(state)) {
    ++count;
  }
  return count > 1;
}

void after_fork_in_child() {
  calls.forked_during_call = calls.forked_during_call || calls.computing > 0;
  calls.forked_beside_threads = calls.forked_beside_threads || other_python_threads();
  calls.computing = 0;
  calls.returning = 0;
  calls.exiting = false;
  calls.exiting_thread = {};
  // Only the exit hook waits on it, and the hook's thread is not this one.
  new (&calls.returned) std::condition_variable();
  calls.mutex.unlock();
}

[[maybe_unused]] const int fork_handlers =
    pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);

void refuse_if_forked_during_call() {
  if (calls.forked_during_call) {
    throw std::runtime_error(kForkedDuringCall);
  }
}

} // namespace

ModelLoad::ModelLoad() {
  refuse_if_forked_during_call();
}

void watch_interpreter_exit() {
  // Written with the interpreter lock held, as `exiting` is.
  if (calls.watching || calls.exiting) {
    return;
  }
  nb::object sentinel =
      nb::steal(PyCapsule_New(&calls, "velmora.exit_sentinel", sentinel_released));
  if (!sentinel.is_valid()) {
    throw nb::python_error();
  }
  nb::module_::import_("atexit").attr("register")(nb::cpp_function([](nb::handle) {}), sentinel);
  calls.watching = true;
}

ReleasedCall::ReleasedCall() {
  refuse_if_forked_during_call();
  watch_interpreter_exit();
  std::unique_lock lock(calls.mutex);
  if (parks_at_exit()) {
    lock.unlock();
    PyEval_SaveThread();
    park();
  }
  ++calls.computing;
  lock.unlock();
  state_ = PyEval_SaveThread();
}

ReleasedCall::~ReleasedCall() {
  std::unique_lock lock(calls.mutex);
  --calls.computing;
  if (parks_at_exit()) {
    lock.unlock();
    park();
  }
  ++calls.returning;
  lock.unlock();
  PyEval_RestoreThread(state_);
  lock.lock();
  --calls.returning;
  const bool parks = parks_at_exit();
  lock.unlock();
  calls.returned.notify_all();
  if (parks) {
    PyEval_SaveThread();
    park();
  }
}

} // namespace velmora::python
