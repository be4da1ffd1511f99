"""What a step has left to do, found one way for the plan and for the run, so that the plan of a
run that goes on from an earlier attempt shows what the run then changes.

A step's records are those the earlier attempt kept (brought up to date with Azure), else
planned afresh. An attempt's items that it did not see done are read back from Azure before
anything else: the attempt may have changed them after its last read (it was interrupted, or
an operation it left running has ended since). The items left are those Azure does not show
done; the run changes those, and the plan shows those.
"""

from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

from qn.arm.switch_traffic.records import Items, undone
from qn.arm.switch_traffic.state import Kept
from qn.arm.switch_traffic.steps.base import Earlier, Step, VnetRun

# Reads these items of these records back into what is known of them.
ReadBack = Callable[[Any, list[str], Items], None]


@dataclass
class Left:
    """A step's records and what is known of its items."""

    records: Any
    names: list[str]  # every item of the records
    known: Items
    resumed: bool  # the records are an earlier attempt's

    @property
    def pending(self) -> list[str]:
        return undone(self.names, self.known)

    def narrowed(self, step: Step[Any]) -> Any:
        """The records of the items left only."""
        return step.narrowed(self.records, self.pending)


def forward_left(
    step: Step[Any],
    run: VnetRun,
    kept: Kept[Any] | None,
    earlier: Earlier,
    planned: Callable[[], Any],
    read_back: ReadBack,
    shown: Callable[[list[str], Items], None] = lambda names, known: None,
) -> Left:
    """What the forward step has left: `planned` gives its records when no attempt kept any;
    `shown` hears of the items and what is known of them before any is read back."""
    resumed = kept is not None and kept.records is not None
    if kept is not None and kept.records is not None:
        records = step.replanned(run, kept.records, earlier)
    else:
        records = planned()
    names = step.keys(records)
    known = dict(kept.items) if kept else {}
    shown(names, known)
    if resumed:
        read_back(records, undone(names, known), known)
    return Left(records, names, known, resumed)


def revert_left(
    step: Step[Any],
    records: Any,
    reverted: Kept[Any] | None,
    read_back: ReadBack,
    shown: Callable[[list[str], Items], None] = lambda names, known: None,
) -> Left:
    """What the revert of the forward step's records has left. Only an attempt of the revert
    itself is read back: before it, every recorded item is put back."""
    names = step.keys(records)
    known = dict(reverted.items) if reverted else {}
    shown(names, known)
    resumed = reverted is not None
    if resumed:
        read_back(records, undone(names, known), known)
    return Left(records, names, known, resumed)
