"""The one way the bench tools time a call."""

import gc
import time
from typing import Any, NamedTuple


class Best(NamedTuple):
    """The fastest of several runs: its wall time, the least CPU time (all
    the process's threads) of any run, and the fastest run's result."""

    seconds: float
    cpu_seconds: float
    result: Any


def best_time(call, repeat):
    """Runs call() `repeat` times (at least once), each after a garbage
    collection so that no run pays for the one before. On a shared machine
    the CPU time shows the work done, the wall time also the waiting for a
    core."""
    if repeat < 1:
        raise ValueError(f"best_time needs at least one run, not {repeat}")
    best = None
    for _ in range(repeat):
        gc.collect()
        wall_start, cpu_start = time.perf_counter(), time.process_time()
        result = call()
        wall, cpu = time.perf_counter() - wall_start, time.process_time() - cpu_start
        # Only the fastest result is kept: a slower one (a device graph, say)
        # is freed before the next run, as a caller's would be.
        if best is None or wall < best.seconds:
            best = Best(wall, min(cpu, best.cpu_seconds) if best else cpu, result)
        else:
            best = best._replace(cpu_seconds=min(cpu, best.cpu_seconds))
        del result
    return best
