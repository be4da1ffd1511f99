"""What Azure shows after a step: every item read back and judged by its step against the
records, once the operations on it have ended.

Propagation and remote-gateway updates are started by the library without waiting, and any
write may still be running when a run was interrupted. Reading back therefore first waits,
polling, until no item is still being changed (bounded in time, said in the log when it lasts),
so that the next step never writes while an operation runs, and a `Failed` end is seen.
"""

import logging
import time
from collections.abc import Callable
from typing import Any

from qn.arm.switch_traffic import interrupt
from qn.arm.switch_traffic.options import Waits
from qn.arm.switch_traffic.records import Item, Items
from qn.arm.switch_traffic.resources import FAILED_STATE, Verdict, busy
from qn.arm.switch_traffic.steps.base import Step, VnetRun

STOP_CHECK = 0.2  # seconds: how soon a waiting worker sees that Ctrl-C asked the run to stop


def settle(
    log: logging.Logger, waits: Waits, read: Callable[[], dict[str, Any]]
) -> tuple[dict[str, Any], list[str]]:
    """Reads the items until none is being changed or the wait is up. Returns what was seen
    last and the items still being changed then."""
    start = said = time.monotonic()
    while True:
        seen = read()
        changing = [key for key, value in seen.items() if busy(value)]
        elapsed = time.monotonic() - start
        if not changing or elapsed >= waits.timeout:
            return seen, changing
        if time.monotonic() - said >= waits.visible_after:
            log.info(f"  waiting for {', '.join(changing)} ({elapsed:.0f} s so far)")
            said = time.monotonic()
        pause(min(waits.interval, max(waits.timeout - elapsed, 0)))


def pause(seconds: float) -> None:
    """Sleeps, but a worker stops at once when Ctrl-C asks the run to stop (the signal
    reaches the main thread only)."""
    end = time.monotonic() + seconds
    while not interrupt.stopping():
        left = end - time.monotonic()
        if left <= 0:
            return
        time.sleep(min(left, STOP_CHECK))
    raise interrupt.Stopped


def judged(
    step: Step[Any], run: VnetRun, waits: Waits, records: Any, names: list[str], revert: bool
) -> dict[str, Verdict]:
    """Waits for the step's items to settle, then has the step judge each."""
    seen, changing = settle(run.log, waits, lambda: step.read(run, records, names))
    verdicts: dict[str, Verdict] = {}
    for name in names:
        if name in changing:
            verdicts[name] = (False, f"still being changed after {waits.timeout:.0f} s")
        else:
            verdicts[name] = step.judge(records, name, seen[name], revert)
    return verdicts


def read_back(
    step: Step[Any],
    run: VnetRun,
    waits: Waits,
    records: Any,
    names: list[str],
    revert: bool,
    attempt: Callable[[Callable[[], Any]], Any] | None = None,
) -> Items:
    """The items as Azure shows them; items left Failed by their last operation are cleared
    where the step can (`attempt` makes that write and logs its failure), and read again.
    Without `attempt` it only reads: a plan leaves a Failed item pending, for the run to clear."""
    if not names:
        return {}
    verdicts = judged(step, run, waits, records, names, revert)
    failed = [n for n, (_, reason) in verdicts.items() if reason == FAILED_STATE]
    if failed and step.clears_failed and attempt is not None:
        attempt(lambda: step.clear_failed(run, failed))
        verdicts.update(judged(step, run, waits, records, failed, revert))
    return {name: Item.seen(done, reason) for name, (done, reason) in verdicts.items()}
