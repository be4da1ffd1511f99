"""The live view of an estate: a line per running VNet and the totals, fed by workers at once,
with the log lines above it; nothing but the log off a terminal."""

import io
import logging
import re
import threading

from qn.arm.switch_traffic import progress

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
    assert re.fullmatch(r"  vn-b  step 2/6 switch-subnets  4/10 items  0:0\d", drawn[-2])
    assert re.fullmatch(
        r"VNets: 0 done, 1 failed, 1 running, 1 waiting of 3  0:0\d", drawn[-1].rstrip()
    )


def test_off_a_terminal_nothing_is_drawn():
    stream = io.StringIO()
    with progress.live(stream, ["vn-a"]) as shown:
        shown.started("vn-a", 6)
        shown.step("vn-a", 1, "discover-route-tables", 0)
        shown.finished("vn-a", ok=True)
    assert type(shown) is progress.Progress and stream.getvalue() == ""
