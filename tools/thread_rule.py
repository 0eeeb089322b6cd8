"""The main command's thread rule, which the annotator and the model builder
share: --threads when given (a whole number from 1 to MAX_THREADS), else
OMP_NUM_THREADS when set, else half the CPUs the process may run on (its
affinity, which taskset and a container's CPU set narrow), at least 1 and at
most 4."""

import argparse
import os
import re

from arguments import quoted

# The most --threads takes: more than the cores of any machine the command is
# meant for, and far from what the thread libraries refuse (torch takes no
# count of 2**31 or more, OpenMP runtimes run out of memory long before).
MAX_THREADS = 256


def default_threads():
    try:
        cpus = len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        cpus = os.cpu_count() or 1
    return max(1, min(4, cpus // 2))


def thread_count(value):
    """A --threads value: a whole number from 1 to MAX_THREADS, in ASCII
    digits (int() would take blanks around them, underscores between them
    and digits of any script)."""
    if not re.fullmatch(r"-?[0-9]+", value):
        raise argparse.ArgumentTypeError(f"invalid int value: {quoted(value)}")
    number = int(value)
    if number < 1:
        raise argparse.ArgumentTypeError(f"not a positive integer: {quoted(value)}")
    if number > MAX_THREADS:
        raise argparse.ArgumentTypeError(f"more than {MAX_THREADS} threads: {quoted(value)}")
    return number
