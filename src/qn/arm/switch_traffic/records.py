"""The typed records of a run: what a step is to change, what Azure showed of each item, and the
rows of a plan. Every layer above works with these models; the state file writes and reads
them.

Records may hold more than the driver reads (the library's maps), so extra keys are kept as
they came; the parts the driver reads are typed, so a part of the wrong type is refused when a
state file loads instead of surfacing half-way through a run.
"""

from dataclasses import dataclass
from datetime import UTC, datetime
from typing import Any, Literal, Self

from pydantic import BaseModel, ConfigDict, Field, model_validator
from pydantic_core import PydanticCustomError

DONE, PENDING = "done", "pending"


def now() -> str:
    return datetime.now(UTC).isoformat(timespec="seconds")


class Part(BaseModel):
    model_config = ConfigDict(extra="allow", strict=True, populate_by_name=True)

    def dumped(self) -> dict[str, Any]:
        """The JSON form, as the library and the state file take it."""
        return self.model_dump(mode="json", by_alias=True, exclude_unset=False)


class Item(Part):
    """What Azure showed of one item after the last attempt."""

    status: Literal["done", "pending"]
    reason: str | None = None
    at: str | None = None

    @model_validator(mode="after")
    def _pending_says_why(self) -> Self:
        # The run reports every pending item with its reason.
        if self.status == PENDING and self.reason is None:
            raise PydanticCustomError("reason", "a pending item needs its reason")
        return self

    @classmethod
    def seen(cls, done: bool, reason: str) -> "Item":
        return cls(status="done" if done else "pending", reason=reason, at=now())

    @property
    def done(self) -> bool:
        return self.status == DONE


Items = dict[str, Item]


def undone(names: list[str], known: Items) -> list[str]:
    """The names whose item Azure has not shown done."""
    return [name for name in names if not (name in known and known[name].done)]


class Records(Part):
    """A step's records; each step has its own kind."""


class RemoteNetwork(Part):
    id: str


class PeeringEnd(Part):
    """A peering's settings as the library records them."""

    id: str
    name: str
    allow_virtual_network_access: bool | None
    allow_forwarded_traffic: bool | None
    allow_gateway_transit: bool | None
    use_remote_gateways: bool | None
    remote_virtual_network: RemoteNetwork


class GatewayUse(Part):
    """A peering's settings before its use of the remote gateway was turned off."""

    localSubscriptionId: str | None = None
    localRgName: str
    localVnetName: str
    localPeeringName: str
    localPeering: PeeringEnd


class PeeringPair(Part):
    """Both ends of a peering, as recorded before they were deleted."""

    localSubscriptionId: str
    localRgName: str
    localVnetName: str
    localPeeringName: str
    localPeering: PeeringEnd
    remoteSubscriptionId: str
    remoteRgName: str
    remoteVnetName: str
    remotePeeringName: str
    remotePeering: PeeringEnd

    @property
    def hub_id(self) -> str:
        """The resource ID of the VNet at the remote end."""
        return (
            f"/subscriptions/{self.remoteSubscriptionId}/resourceGroups/{self.remoteRgName}"
            f"/providers/Microsoft.Network/virtualNetworks/{self.remoteVnetName}"
        )

    def swapped(self) -> "PeeringPair":
        """The pair with its ends exchanged: re-created, its remote end comes first."""
        exchanged: dict[str, Any] = {}
        for key, value in self.dumped().items():
            if key.startswith("local"):
                exchanged["remote" + key[len("local") :]] = value
            elif key.startswith("remote"):
                exchanged["local" + key[len("remote") :]] = value
            else:
                exchanged[key] = value
        return PeeringPair.model_validate(exchanged)


class Lock(Part):
    """A management lock as listed, with the scope it sits on."""

    id: str
    name: str
    level: str
    notes: str | None
    scope: str

    @property
    def key(self) -> str:
        """Its name among the items of the step that removes it."""
        return f"lock {self.name}"


class SubnetMove(Part):
    """Where a subnet is, the tables it may end on, and what it lacks when it cannot move."""

    from_: str | None = Field(alias="from")
    to: list[str]
    lacks: str | None


@dataclass
class Change:
    """One row of a plan: an item of a step, before and after."""

    step: str
    item: str
    before: str
    after: str
    counted: str = ""  # the summary's count it adds to, if any
