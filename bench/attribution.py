"""Where a scenario's time goes: the library, the fakes, logging, or the ipaddress module.

cProfile sees Python frames and the built-in functions that Python code calls, but not the
extension's own C++: the operations are nanobind functions, which the profiler neither enters
nor leaves. So the C++ work of an operation (and every C API call it makes: attribute reads,
dict and list work, string building) is charged to the frame that called the operation, the
`run` closure in scenarios.py. Each Python function that the C++ calls back into (a fake's
method, the logger, an ipaddress property) opens a frame of its own and is charged there.

Categories, by the file a function lives in: scenarios.py is the library; bench/fakes.py the
fakes; the logging package and the ipaddress module their own. A built-in function has no file;
its time goes to the category of the function that called it.

The profiler adds a fixed cost to every Python-level call and return, which inflates the
categories made of many small Python calls (fakes, logging) against the library. The shares are
therefore upper bounds for the fakes and logging, lower bounds for the library; the report shows
the profiled total next to the unprofiled one to size that effect.
"""

import cProfile
import gc
import pstats
from pathlib import Path

CATEGORIES = ("library", "fakes", "logging", "ipaddress", "other")

_HERE = Path(__file__).resolve().parent


def category_of_file(filename):
    path = Path(filename)
    if path.name == "scenarios.py" and path.parent.resolve() == _HERE:
        return "library"
    if path.name == "fakes.py" and path.parent.resolve() == _HERE:
        return "fakes"
    if "logging" in path.parts:
        return "logging"
    if path.name == "ipaddress.py":
        return "ipaddress"
    return "other"


KNOWN = ("library", "fakes", "logging", "ipaddress")


def caller_category(function, table, memo, path=()):
    """The category a function's time belongs to when its own file names none (a built-in, a
    helper of the standard library): that of the callers that spend the most time in it."""
    if function in memo:
        return memo[function]
    filename = function[0]
    kind = category_of_file(filename) if filename != "~" else "other"
    if kind == "other" and function not in path:
        votes = {}
        for caller, edge in table[function][4].items():
            voted = caller_category(caller, table, memo, path + (function,))
            votes[voted] = votes.get(voted, 0.0) + edge[2]
        if votes:
            kind = max(votes, key=votes.get)
    memo[function] = kind
    return kind


def split(scenario):
    """Profiles one run of the scenario; returns ({category: ns}, profiled total ns, stats)."""
    scenario.reset()
    profiler = cProfile.Profile()
    gc.collect()
    gc.disable()
    try:
        profiler.enable()
        scenario.run()
        profiler.disable()
    finally:
        gc.enable()
    stats = pstats.Stats(profiler)
    shares = dict.fromkeys(CATEGORIES, 0.0)
    memo = {}
    for function, (_cc, _nc, tottime, _ct, callers) in stats.stats.items():
        kind = category_of_file(function[0]) if function[0] != "~" else "other"
        if kind in KNOWN or not callers:
            shares[kind] += tottime
            continue
        # Split by calling edge: a built-in called both by a fake and by logging is shared.
        for caller, edge in callers.items():
            shares[caller_category(caller, stats.stats, memo)] += edge[2]
    total = sum(shares.values())
    return {k: v * 1e9 for k, v in shares.items()}, total * 1e9, stats


def top_functions(stats, count=8):
    """The functions with the most own time: (own seconds, calls, 'file:line(name)')."""
    rows = []
    for (filename, line, name), (_cc, calls, tottime, _ct, _callers) in stats.stats.items():
        where = name if filename == "~" else f"{Path(filename).name}:{line}({name})"
        rows.append((tottime, calls, where))
    rows.sort(reverse=True)
    return rows[:count]
