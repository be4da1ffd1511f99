"""Tasks run side by side: each in a context of its own (the library's and the tool's settings
per task), in a pool of the run's workers when there are several, in the main thread when there
is one. A task interrupted stops the others at their next check; Ctrl-C stops them all."""

import contextvars
from collections.abc import Callable
from concurrent.futures import Future, ThreadPoolExecutor, wait
from threading import Event
from typing import TypeVar

from qn.arm.switch_traffic import interrupt

Result = TypeVar("Result")


class Workers:
    def __init__(self, count: int) -> None:
        self.count = max(1, count)
        self.stopped = Event()  # a task was interrupted: the others stop too

    def check_stopped(self) -> None:
        """Between two steps of a task: stops it once the run is to stop (Ctrl-C, or another
        task interrupted)."""
        if self.stopped.is_set() or interrupt.stopping():
            raise interrupt.Stopped

    def run(self, tasks: list[Callable[[], Result]]) -> list[Result]:
        """The tasks' results in their order."""
        calls = [self._stopping_the_others(task) for task in tasks]
        contexts = [contextvars.copy_context() for _ in calls]
        if self.count == 1:
            return [context.run(call) for context, call in zip(contexts, calls, strict=True)]
        pool = ThreadPoolExecutor(self.count, thread_name_prefix="switch-traffic")
        try:
            futures = [pool.submit(c.run, call) for c, call in zip(contexts, calls, strict=True)]
            self._wait_for(futures)
            return [future.result() for future in futures]
        finally:
            pool.shutdown(wait=False, cancel_futures=True)

    def _stopping_the_others(self, task: Callable[[], Result]) -> Callable[[], Result]:
        def call() -> Result:
            try:
                return task()
            except BaseException:  # interrupted: no other task goes on
                self.stopped.set()
                raise

        return call

    def _wait_for(self, futures: list[Future[Result]]) -> None:
        """Waits for every task. Ctrl-C (or a task interrupted) stops the others at their next
        step and the tasks not begun; KeyboardInterrupt follows once all have stopped, at once
        on a second Ctrl-C."""
        try:
            wait(futures)
        except KeyboardInterrupt:
            self.stopped.set()
            wait(futures)
            raise
        for future in futures:
            future.result()  # a task's KeyboardInterrupt, here in the main thread
