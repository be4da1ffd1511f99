"""Best-of-N wall time of one scenario, with Python's own clock."""

import gc
from dataclasses import dataclass
from time import perf_counter_ns, thread_time_ns

# A run counts as undisturbed when this thread was on a core for nearly all of its wall time.
UNDISTURBED = 0.97


@dataclass
class Timing:
    best_ns: int
    runs: int
    clean: int  # undisturbed runs among them; the best is taken from these when there are any


def best_ns(scenario, repeats, budget_ns=8_000_000_000, min_total_ns=300_000_000):
    """The fastest undisturbed run, wall time by perf_counter_ns, after one untimed warm-up.

    The machine is shared: a run during which another process held the core is told apart by
    its thread's CPU time falling short of its wall time, and does not count. Runs go on until
    `repeats` undisturbed ones (and at least `min_total_ns` of them, so quick scenarios get many
    tries) or until `budget_ns` is spent; with no undisturbed run at all, the best disturbed one
    is reported and marked as such by the caller.

    The cyclic garbage collector is off meanwhile (as in timeit): its passes over the prebuilt
    worlds would charge the large sizes for the benchmark's own objects."""
    scenario.reset()
    scenario.run()
    best = best_clean = None
    runs = clean = 0
    clean_total = spent = 0
    gc.collect()
    gc.disable()
    try:
        while (clean < repeats or clean_total < min_total_ns) and spent < budget_ns:
            scenario.reset()
            cpu = thread_time_ns()
            start = perf_counter_ns()
            scenario.run()
            elapsed = perf_counter_ns() - start
            cpu = thread_time_ns() - cpu
            runs += 1
            spent += elapsed
            best = elapsed if best is None else min(best, elapsed)
            if cpu >= UNDISTURBED * elapsed:
                clean += 1
                clean_total += elapsed
                best_clean = elapsed if best_clean is None else min(best_clean, elapsed)
    finally:
        gc.enable()
    return Timing(best_clean if best_clean is not None else best, runs, clean)
