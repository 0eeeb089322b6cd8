"""How the model builder takes a stop: SIGINT (Ctrl-C) and SIGTERM, SIGHUP
and SIGQUIT (a caller stopping it, its terminal gone, Ctrl-\\).

A stop raises KeyboardInterrupt in the main thread, once: the build unwinds
and each bundle's clean-up runs, and a later stop, which a caller that stops
a whole process tree may add, does not cut that clean-up short. Three things
make it land where it can be cleaned up after:

- `held()` marks a few lines during which a stop only counts: making a
  folder and naming it in the list of those to remove, writing a file and
  renaming it into place. The KeyboardInterrupt is raised as the section
  ends, so that nothing made in it is ever left unnamed or half-written.
- A signal handler runs wherever the main thread is, and a KeyboardInterrupt
  it raises inside a weak-reference callback, a __del__ method or an exit
  callback is only reported as ignored by the interpreter (the import
  system's module locks have such callbacks, and torch imports modules as it
  goes). Such a report is dropped and the stop is owed again: a SIGALRM a
  moment later raises it in ordinary code. A handler that runs in the hook
  those reports go to (the alarm or another stop coming as it is armed)
  does not raise it there, where it would be lost for good: it arms the
  alarm again.
- `settle()` ends all that once the builder knows how it ends: a stop that
  comes after it is ignored, by the operating system too, so that neither a
  stop nor the alarm can end the process in the interpreter's own exit,
  after it has put every signal back to its default action.
"""

from __future__ import annotations

import atexit
import resource
import signal
import sys
import threading

STOPS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT)

_taken = []  # the stop signals that came, in order
_owed = False  # a KeyboardInterrupt is still to be raised in ordinary code
_held = 0  # the depth of held() sections the main thread is in
_settled = False


def take():
    """Takes every stop whose action is still the default one (a caller may
    have had the builder ignore some, as a shell does for a background job's
    SIGINT and SIGQUIT). Settles at the latest when the exit callbacks run."""
    for stop in STOPS:
        default = signal.default_int_handler if stop == signal.SIGINT else signal.SIG_DFL
        if signal.getsignal(stop) == default:
            signal.signal(stop, _stop)
    signal.signal(signal.SIGALRM, _again)
    sys.unraisablehook = _unraisable
    # Exit callbacks run in the reverse order of their registration: those
    # registered later (torch's) run before this one, and a stop lost in
    # one of them is settled here, before the interpreter resets signals.
    atexit.register(settle)


def taken():
    """The first stop that came, or None: the first of SIGTERM, SIGHUP and
    SIGQUIT, which end the builder by that signal, else SIGINT."""
    for stop in _taken:
        if stop != signal.SIGINT:
            return stop
    return _taken[0] if _taken else None


class held:
    """A section during which a stop only counts; its KeyboardInterrupt is
    raised as the section ends."""

    def __enter__(self):
        global _held
        _held += 1
        return self

    def __exit__(self, *exc_info):
        global _held
        _held -= 1
        _raise_owed()
        return False


def settle():
    """From now on a stop is ignored, and no KeyboardInterrupt is raised for
    one that came before: the caller reads taken() and ends accordingly."""
    global _settled
    _settled = True
    signal.setitimer(signal.ITIMER_REAL, 0)
    for stop in (*STOPS, signal.SIGALRM):
        if signal.getsignal(stop) in (_stop, _again):
            # Runs a handler still due first; set after _settled, it does
            # not raise.
            signal.signal(stop, signal.SIG_IGN)


def end_by(stop):
    """Ends the process by `stop`, a caller's SIGTERM, SIGHUP or SIGQUIT
    that taken() gave once the clean-up is done: nothing more to say, and no
    core dump (one after SIGQUIT would hold only the clean-up)."""
    resource.setrlimit(resource.RLIMIT_CORE, (0, resource.getrlimit(resource.RLIMIT_CORE)[1]))
    signal.signal(stop, signal.SIG_DFL)
    signal.pthread_kill(threading.get_ident(), stop)


def _raise_owed():
    global _owed
    if _owed and not _held and not _settled:
        if _reporting():
            signal.setitimer(signal.ITIMER_REAL, 0.001)
        else:
            _owed = False
            raise KeyboardInterrupt


def _reporting():
    """Whether the main thread runs _unraisable: a KeyboardInterrupt raised
    in it is reported as ignored by the interpreter itself, past the hook."""
    frame = sys._getframe(1)
    while frame is not None and frame.f_code is not _unraisable.__code__:
        frame = frame.f_back
    return frame is not None


def _stop(signum, frame):
    global _owed
    if not _taken and not _settled:
        _owed = True
    _taken.append(signum)
    _raise_owed()


def _again(signum, frame):
    _raise_owed()


def _unraisable(report, show=sys.unraisablehook):
    global _owed
    if issubclass(report.exc_type, KeyboardInterrupt):
        if report.object is settle:
            # The alarm came as the exit callback began, before it settled.
            settle()
        elif not _settled:
            # Raised where the interpreter cannot pass it on: owed again.
            _owed = True
            signal.setitimer(signal.ITIMER_REAL, 0.001)
    elif not (_settled and issubclass(report.exc_type, OSError)
              and str(report.exc_value).endswith("ignored due to race condition")):
        # (That one is the interpreter's word for a stop that came while
        # settle() set it to be ignored.)
        show(report)
