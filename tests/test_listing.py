"""The route-table listing the VNets of a run share: never older than the asker's question."""

import threading
import time

import pytest

from qn.arm.res.listings import SharedListing


class Subscription:
    """Lists as Azure would: each listing shows the tables as they are when it begins, and
    runs until let go."""

    def __init__(self, fail_from: int | None = None) -> None:
        self.listings = 0
        self.begun = threading.Semaphore(0)
        self.go = threading.Semaphore(0)
        self.fail_from = fail_from

    def list_all(self) -> list[str]:
        self.listings += 1
        seen = self.listings
        self.begun.release()
        assert self.go.acquire(timeout=10)
        if self.fail_from is not None and seen >= self.fail_from:
            raise RuntimeError(f"listing {seen} failed")
        return [f"as of listing {seen}"]


def asking(listing: SharedListing, azure: Subscription, answers: dict, name: str):
    asked = threading.Event()

    def ask() -> None:
        asked.set()
        try:
            answers[name] = listing.listed(azure.list_all)
        except RuntimeError as error:
            answers[name] = str(error)

    thread = threading.Thread(target=ask)
    thread.start()
    assert asked.wait(10)
    return thread


@pytest.mark.parametrize(
    "fail_from, late_answer",
    [(None, ["as of listing 2"]), (2, "listing 2 failed")],
)
def test_who_asks_while_a_listing_runs_shares_the_next_one(fail_from, late_answer):
    azure, listing, answers = Subscription(fail_from), SharedListing(), {}
    first = asking(listing, azure, answers, "first")
    assert azure.begun.acquire(timeout=10)  # the first listing runs
    late = [asking(listing, azure, answers, f"late-{n}") for n in range(3)]
    time.sleep(0.2)  # from asked to waiting
    # The late askers wait for the first listing to end before theirs begins; none of them
    # may be answered with it.
    azure.go.release()
    first.join(10)
    assert azure.begun.acquire(timeout=10)
    azure.go.release()
    for thread in late:
        thread.join(10)
    assert answers == {"first": ["as of listing 1"], **{f"late-{n}": late_answer for n in range(3)}}
    assert azure.listings == 2
