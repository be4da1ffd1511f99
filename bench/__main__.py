"""Runs the benchmarks and prints their tables as Markdown.

    scripts/bench [--quick] [--repeats N] [--only TEXT] [--top N] [--against REVISION]
                  [--rounds N] [--no-end-to-end]
    scripts/bench estate [--parallel N ...] [--vnets N ...] [--scale S] [--steps]

--quick shrinks every size tenfold for a look at the harness; --only runs the benchmarks whose
operation name contains TEXT; --top N adds each large run's N functions with the most own time;
--against REVISION builds that git revision's extension and compares it with the current one,
at the large sizes, the two taking turns so that both meet the same load on the machine.
After the in-memory benchmarks, the end-to-end part (bench/end_to_end.py) runs in a process of
its own, with the library's real collaborators: --rounds N fresh runs of it (the best time is
kept), or none with --no-end-to-end; --only and --against leave it out too.
`scripts/bench estate` runs only the estate at Azure's latencies (bench/estate.py): minutes of
scaled waits, so it is a command of its own.

The second table sizes where each large run's time goes in two ways. "ms, logger off" is the
same run with the library's logger at WARNING, so that its INFO records are neither built nor
handed out: the difference is what logging at INFO costs, measured without a profiler. The
category shares come from one run under cProfile (see attribution.py for how they are split).
"""

import argparse
import logging
import os
import platform
import subprocess
import sys

from . import attribution, baseline, fakes, scenarios
from .timing import best_ns


def machine():
    model = "unknown"
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as cpuinfo:
            for line in cpuinfo:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return f"{os.cpu_count()} cores, {model}, Python {platform.python_version()}"


def mark(timing):
    """A mark for a figure that no undisturbed run backs (another process held the core)."""
    return "" if timing.clean else " (disturbed)"


def us(ns):
    return f"{ns / 1000:.2f}"


def compare(pairs, revision, baseline_class, repeats, rounds=3):
    current = scenarios.ST
    print(f"## Per-item time, {revision} against the working tree (best of {rounds} turns)\n")
    print("| operation | size | before µs per item | after µs per item | after / before |")
    print("|---|---:|---:|---:|---:|")
    for _small, large in pairs:
        before = after = None
        for _ in range(rounds):
            scenarios.use_library(baseline_class)
            took = best_ns(large, repeats, budget_ns=2_000_000_000).best_ns
            before = took if before is None else min(before, took)
            scenarios.use_library(current)
            took = best_ns(large, repeats, budget_ns=2_000_000_000).best_ns
            after = took if after is None else min(after, took)
        print(
            f"| {large.operation} | {large.size:,} {large.unit} | {us(before / large.size)} "
            f"| {us(after / large.size)} | {after / before:.2f} |",
            flush=True,
        )


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    if argv[:1] == ["estate"]:  # with the real collaborators, as the end-to-end part
        command = [sys.executable, "-m", "bench.estate", *argv[1:]]
        return subprocess.run(command, check=False).returncode
    parser = argparse.ArgumentParser(prog="python -m bench", description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="sizes shrunk tenfold")
    parser.add_argument(
        "--repeats", type=int, default=7, help="least undisturbed runs per size (best kept)"
    )
    parser.add_argument("--only", default="", help="only operations whose name contains this")
    parser.add_argument("--top", type=int, default=0, help="top functions of each profile")
    parser.add_argument("--against", metavar="REVISION", help="compare with this revision")
    parser.add_argument("--rounds", type=int, default=3, help="end-to-end runs (best kept)")
    parser.add_argument("--no-end-to-end", action="store_true", help="skip the end-to-end part")
    options = parser.parse_args(argv)

    fakes.install()
    if options.against:
        base = baseline.load(baseline.build(options.against))
        fakes.install(base)
    pairs = [
        pair
        for pair in scenarios.all_scenarios(0.1 if options.quick else 1.0)
        if options.only in pair[0].operation
    ]
    print(f"Machine: {machine()}\n")
    if options.against:
        compare(pairs, options.against, base.SwitchTraffic, options.repeats)
        return 0

    print(
        f"## Per-item time, small and large size (best of {options.repeats} or more "
        "undisturbed runs)\n"
    )
    print("| operation | small | µs per item | large | µs per item | growth |")
    print("|---|---:|---:|---:|---:|---:|")
    for small, large in pairs:
        timed_small, timed_large = best_ns(small, options.repeats), best_ns(large, options.repeats)
        per_small = timed_small.best_ns / small.size
        per_large = timed_large.best_ns / large.size
        print(
            f"| {small.operation} | {small.size:,} {small.unit} "
            f"| {us(per_small)}{mark(timed_small)} "
            f"| {large.size:,} {large.unit} | {us(per_large)}{mark(timed_large)} "
            f"| {per_large / per_small:.2f} |",
            flush=True,
        )

    print("\n## Where the time goes, large size\n")
    heads = " | ".join(f"{c} %" for c in attribution.CATEGORIES)
    print(f"| operation | ms | ms, logger off | log records % | profiled ms | {heads} |")
    print("|---|---:|---:|---:|---:|" + "---:|" * len(attribution.CATEGORIES))
    details = []
    for _small, large in pairs:
        plain = best_ns(large, options.repeats).best_ns
        with fakes.logger_level(logging.WARNING):
            quiet = best_ns(large, options.repeats).best_ns
        shares, total, stats = attribution.split(large)
        cells = " | ".join(f"{100 * shares[c] / total:.0f}" for c in attribution.CATEGORIES)
        print(
            f"| {large.operation} | {plain / 1e6:.2f} | {quiet / 1e6:.2f} "
            f"| {100 * (plain - quiet) / plain:.0f} | {total / 1e6:.2f} | {cells} |",
            flush=True,
        )
        if options.top:
            details.append((large.operation, attribution.top_functions(stats, options.top)))
    for operation, rows in details:
        print(f"\n### {operation}: own time by function\n")
        print("| own ms | calls | function |")
        print("|---:|---:|---|")
        for own, calls, where in rows:
            print(f"| {own * 1e3:.1f} | {calls:,} | `{where}` |")
    if options.no_end_to_end or options.only:
        return 0
    print(flush=True)
    # The fakes above replaced the library's collaborators in this process.
    command = [sys.executable, "-m", "bench.end_to_end", "--rounds", str(options.rounds)]
    return subprocess.run(command, check=False).returncode


if __name__ == "__main__":
    sys.exit(main())
