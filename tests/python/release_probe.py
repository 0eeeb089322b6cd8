"""Tells whether a call releases the interpreter lock while it runs.

A second thread waits for the lock while the main thread makes the call. With
a switch interval far longer than the test, the main thread never hands the
lock over on its own, so the second thread can only run inside the call if
the call itself lets go of the lock.
"""

import sys
import threading
import time


def runs_without_lock(call) -> bool:
    state = {"inside": False, "done": False, "hits": 0}
    go = threading.Event()

    def watch():
        go.wait()
        while not state["done"]:
            if state["inside"]:
                state["hits"] += 1
            time.sleep(0)  # hands the lock back at once

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1000.0)
    watcher = threading.Thread(target=watch)
    try:
        watcher.start()
        go.set()
        state["inside"] = True
        call()
        state["inside"] = False
    finally:
        state["done"] = True
        watcher.join()
        sys.setswitchinterval(interval)
    return state["hits"] > 0


def assert_releases_lock(make_call, attempts=5):
    """make_call(scale) returns a callable whose work grows with scale; a call
    too short for the watcher to be scheduled (a busy machine can take many
    milliseconds) is retried with more work. The callable may also make the
    same call several times over: the main thread still never lets go of the
    lock between them."""
    for attempt in range(attempts):
        if runs_without_lock(make_call(4 ** attempt)):
            return
    raise AssertionError("the call kept the interpreter lock")


def assert_keeps_lock(call):
    assert not runs_without_lock(call), "the call released the interpreter lock"
