"""Best-of-N wall time of one scenario, with Python's own clock."""

import gc
from time import perf_counter_ns


def best_ns(scenario, repeats):
    """The fastest of `repeats` runs, in nanoseconds, after one untimed warm-up run.

    The cyclic garbage collector is off while the clock runs (as timeit does): its passes over
    the prebuilt worlds would charge the large sizes for the benchmark's own objects."""
    scenario.reset()
    scenario.run()
    best = None
    for _ in range(repeats):
        scenario.reset()
        gc.collect()
        gc.disable()
        try:
            start = perf_counter_ns()
            scenario.run()
            elapsed = perf_counter_ns() - start
        finally:
            gc.enable()
        best = elapsed if best is None else min(best, elapsed)
    return best
