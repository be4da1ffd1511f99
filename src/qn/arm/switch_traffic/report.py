"""What the operator sees: console and file logging, progress lines, the closing summary."""

import contextlib
import logging
import sys
from collections import Counter

TOOL_LOGGER = "qn.arm"
DRIVER_LOGGER = "qn.arm.switch_traffic"


class Tally(logging.Handler):
    """Counts the error lines; changes are counted from what Azure shows, not from lines."""

    def __init__(self):
        super().__init__(logging.DEBUG)
        self.counts = Counter()

    def emit(self, record):
        if record.levelno >= logging.ERROR:
            self.counts["errors"] += 1

    def snapshot(self):
        return Counter(self.counts)


@contextlib.contextmanager
def console_logging(verbose, log_file=None):
    """Console lines show the level; -v adds debug lines. Yields the tally handler, and puts
    the tool's logger back as it was afterwards (the driver also runs inside other programs:
    the demo, the tests)."""
    root = logging.getLogger(TOOL_LOGGER)
    saved = (root.level, root.propagate)
    root.setLevel(logging.DEBUG if verbose else logging.INFO)
    root.propagate = False
    console = logging.StreamHandler(sys.stdout)
    console.setFormatter(logging.Formatter("%(levelname)-7s %(message)s"))
    handlers = [console, Tally()]
    if log_file:
        to_file = logging.FileHandler(log_file, encoding="utf-8")
        to_file.setFormatter(logging.Formatter("%(asctime)s %(levelname)-7s %(message)s"))
        handlers.append(to_file)
    for handler in handlers:
        root.addHandler(handler)
    try:
        yield handlers[1]
    finally:
        for handler in handlers:
            root.removeHandler(handler)
            handler.close()
        root.setLevel(saved[0])
        root.propagate = saved[1]


def driver_log():
    return logging.getLogger(DRIVER_LOGGER)


def usage_error(text: str) -> None:
    """An unusable configuration, command line or state file: said on stderr."""
    print(f"switch-traffic: {text}", file=sys.stderr)


def summary_lines(revert, per_vnet):
    """The closing summary: one line per VNet and a total. The counts are changes that Azure
    showed after the step (in a dry run: the changes the plan holds); pending items are those
    Azure does not show yet, to be tried again by the next run."""
    if revert:
        labels = (
            ("subnets", "subnets switched back"),
            ("tables", "route tables restored"),
            ("peerings", "peerings restored"),
            ("pending", "pending"),
            ("errors", "errors"),
        )
    else:
        labels = (
            ("subnets", "subnets switched"),
            ("tables", "route tables changed"),
            ("peerings", "peerings deleted"),
            ("pending", "pending"),
            ("errors", "errors"),
        )
    total = Counter()
    lines = [f"Summary ({'revert' if revert else 'forward'} run):"]
    for name, counts in per_vnet.items():
        total.update(counts)
        parts = ", ".join(f"{label} {counts.get(key, 0)}" for key, label in labels)
        state = "" if counts.get("completed") else " (incomplete)"
        lines.append(f"  {name}: {parts}{state}")
    lines.append("  total: " + ", ".join(f"{label} {total.get(key, 0)}" for key, label in labels))
    return lines
