"""The tool's process-wide settings, set by the driver before the steps run.

The configuration map and the dry-run flag differ from one VNet's run to the next (each VNet
has its own security domain), and the driver runs several VNets at once, each in a context of
its own (`contextvars`): these two are kept per context. A context started by copying another
sees its values until it sets its own.
"""

from contextvars import ContextVar
from typing import Any

_yaml: ContextVar[dict[str, Any] | None] = ContextVar("Globals.yaml", default=None)
_dry_run: ContextVar[bool] = ContextVar("Globals.dryRun", default=False)


class _PerContext(type):
    """Class attributes read and set in the caller's context; deleting one restores its
    default."""

    @property
    def yaml(cls) -> dict[str, Any]:
        value = _yaml.get()
        return {} if value is None else value

    @yaml.setter
    def yaml(cls, value: dict[str, Any]) -> None:
        _yaml.set(value)

    @yaml.deleter
    def yaml(cls) -> None:
        _yaml.set(None)

    @property
    def dryRun(cls) -> bool:
        return _dry_run.get()

    @dryRun.setter
    def dryRun(cls, value: bool) -> None:
        _dry_run.set(bool(value))

    @dryRun.deleter
    def dryRun(cls) -> None:
        _dry_run.set(False)


class Globals(metaclass=_PerContext):
    # yaml: the tool's configuration map (keys read by the library: "configure_gw_name",
    # "domain", "spoke_gw_name"); dryRun: whether controller requests are skipped. Both are
    # per context, on the metaclass.
    # The identifier every controller request carries, and the controller's API endpoint.
    CID = ""
    api_ep_url = ""

    @classmethod
    def getDryRun(cls) -> bool:
        return cls.dryRun

    @classmethod
    def setDryRun(cls, value: bool = True) -> None:
        cls.dryRun = bool(value)
