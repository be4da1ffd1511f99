"""The steps in their order: forward, and reversed for the revert."""

from typing import Any

from qn.arm.switch_traffic.steps import (
    discover,
    domain,
    peerings,
    propagation,
    remote_gateway,
    switch,
    transit,
)
from qn.arm.switch_traffic.steps.base import Step

ORDER: tuple[Step[Any], ...] = (
    discover.STEP,
    transit.STEP,
    switch.STEP,
    propagation.STEP,
    remote_gateway.STEP,
    peerings.STEP,
    domain.STEP,
)
REVERT_ORDER = tuple(reversed(ORDER))
NAMES = tuple(step.name for step in ORDER)


def in_order(revert: bool) -> tuple[Step[Any], ...]:
    return REVERT_ORDER if revert else ORDER
