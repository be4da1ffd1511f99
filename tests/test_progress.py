"""The live view of an estate: a line per running VNet and the totals, fed by workers at once,
with the log lines above it; nothing but the log off a terminal."""

import io
import logging
import re
import threading

import pytest

from qn.arm.switch_traffic import answered, progress
from qn.arm.switch_traffic.estimate import Estimate

# The display redraws by erasing lines; each erasure ends a line here.
ERASURES = re.compile(r"\r|\x1b\[1A|\x1b\[2K")
STYLES = re.compile(r"\x1b\[[0-9;?]*[A-Za-z]")


class Terminal(io.StringIO):
    """Tells when the display has drawn its totals."""

    def __init__(self) -> None:
        super().__init__()
        self.drawn = threading.Event()

    def write(self, text: str) -> int:
        if "VNets:" in text:
            self.drawn.set()
        return super().write(text)


def test_live_lines_show_each_running_vnet_and_the_totals():
    stream = Terminal()
    log = logging.getLogger("qn.arm.test-progress")
    handler = logging.StreamHandler(stream)
    log.addHandler(handler)
    log.setLevel(logging.INFO)
    both_started = threading.Barrier(2)

    def worker(vnet: str, ends: bool) -> None:
        shown.started(vnet, 6)
        both_started.wait(timeout=10)
        shown.step(vnet, 2, "switch-subnets", 10)
        shown.advanced(vnet, 4)
        shown.answered(vnet, 3)  # written, not yet read back
        stream.drawn.wait(timeout=10)  # a log line now lands where the display is
        log.info(f"{vnet} half-way")
        if ends:
            shown.finished(vnet, ok=False)

    try:
        with progress.live(stream, ["vn-a", "vn-b", "vn-c"], enabled=True) as shown:
            workers = [
                threading.Thread(target=worker, args=("vn-a", True)),
                threading.Thread(target=worker, args=("vn-b", False)),
            ]
            for thread in workers:
                thread.start()
            for thread in workers:
                thread.join(timeout=10)
    finally:
        log.removeHandler(handler)

    assert handler.stream is stream  # the log goes straight to the stream again
    lines = STYLES.sub("", ERASURES.sub("\n", stream.getvalue())).splitlines()
    # Each log line whole, on a line of its own; the last drawing below them.
    assert {"vn-a half-way", "vn-b half-way"} <= set(lines)
    last = max(lines.index("vn-a half-way"), lines.index("vn-b half-way"))
    drawn = [line for line in lines[last + 1 :] if line]
    assert re.fullmatch(
        r"  vn-b  step 2/6 switch-subnets  7/10 items \(3 unverified\)  0:0\d", drawn[-2]
    )
    assert re.fullmatch(
        r"VNets: 0 done, 1 failed, 1 running, 1 waiting of 3  0:0\d elapsed", drawn[-1].rstrip()
    )


def test_off_a_terminal_nothing_is_drawn():
    stream = io.StringIO()
    with progress.live(stream, ["vn-a"]) as shown:
        shown.started("vn-a", 6)
        shown.step("vn-a", 1, "discover-route-tables", 0)
        shown.finished("vn-a", ok=True)
    assert type(shown) is progress.Progress and stream.getvalue() == ""


@pytest.mark.parametrize(
    "ended, running, elapsed, left",
    [
        ([], {}, 0, "about 5:00 left"),  # the estimate of the estate
        ([], {"vn-a": 1}, 400, "about 0:00 left"),  # late: the estimate is used up
        # A third of the work done in 2 minutes: 4 more at that pace.
        (["vn-a"], {}, 120, "about 4:00 left"),
        # vn-b half-way through its 6 steps (its 4th begun): the same share.
        ([], {"vn-a": 4, "vn-b": 4}, 120, "about 4:00 left"),
    ],
)
def test_time_left_is_the_estimate_revised_by_the_pace_of_the_work_done(
    ended, running, elapsed, left
):
    expected = Estimate({"vn-a": 60, "vn-b": 60, "vn-c": 60}, 300, 2)
    shown = progress.LiveProgress(list(expected.vnets), expected)
    for vnet in ended:
        shown.started(vnet, 6)
        shown.finished(vnet, ok=True)
    for vnet, number in running.items():
        shown.started(vnet, 6)
        shown.step(vnet, number, "switch-subnets", 0)
    assert shown.left(shown.began + elapsed) == f", {left}"


class Answer:
    def __init__(self, method, url, status):
        self.http_request = type("Request", (), {"method": method, "url": url})()
        self.http_response = type("Response", (), {"status_code": status})()


def test_a_steps_items_count_as_azure_accepts_their_writes():
    told = []
    subnets = "https://arm/subscriptions/s/resourceGroups/g/providers/n/virtualNetworks/v/subnets"
    answers = [
        Answer("PUT", f"{subnets}/web?api-version=1", 201),
        Answer("GET", f"{subnets}/api", 200),  # a read
        Answer("PUT", f"{subnets}/api", 409),  # refused
        Answer("DELETE", f"{subnets}/other", 202),  # not an item of the step
        Answer("PUT", f"{subnets}/Web", 200),  # the same item again
    ]
    with answered.counting(["web", "api"], told.append):
        for answer in answers:
            answered.hook(answer)
        assert told == [1]
        answered.hook(Answer("PATCH", f"{subnets}/api", 200))
    answered.hook(Answer("PUT", f"{subnets}/db", 201))  # no step listens
    assert told == [1, 2]
