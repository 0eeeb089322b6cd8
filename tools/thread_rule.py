"""The main command's thread rule, which the annotator and the model builder
share: --threads when given (a positive integer), else OMP_NUM_THREADS when
set, else half the CPUs the process may run on (its affinity, which taskset
and a container's CPU set narrow), at least 1 and at most 4."""

import argparse
import os


def default_threads():
    try:
        cpus = len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        cpus = os.cpu_count() or 1
    return max(1, min(4, cpus // 2))


def positive_int(value):
    """A --threads value: a positive integer."""
    try:
        number = int(value)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid int value: {value!r}") from None
    if number < 1:
        raise argparse.ArgumentTypeError(f"not a positive integer: {value!r}")
    return number
