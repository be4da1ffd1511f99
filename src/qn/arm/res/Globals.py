"""The tool's run settings that the library reads as class attributes of `Globals`.

The configuration map and the dry-run flag differ from one VNet's run to the next (each VNet
has its own security domain), and the controller's identifier and endpoint from one run to the
next; the driver runs several VNets at once, each in a context of its own (`contextvars`): so
all four are kept per context. A context started by copying another sees its values until it
sets its own. `Globals.using` sets the controller's for a block.
"""

import contextlib
from collections.abc import Iterator
from contextvars import ContextVar
from typing import Any

_yaml: ContextVar[dict[str, Any] | None] = ContextVar("Globals.yaml", default=None)
_dry_run: ContextVar[bool] = ContextVar("Globals.dryRun", default=False)
_cid: ContextVar[str] = ContextVar("Globals.CID", default="")
_api_ep_url: ContextVar[str] = ContextVar("Globals.api_ep_url", default="")


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

    @property
    def CID(cls) -> str:
        return _cid.get()

    @CID.setter
    def CID(cls, value: str) -> None:
        _cid.set(value)

    @CID.deleter
    def CID(cls) -> None:
        _cid.set("")

    @property
    def api_ep_url(cls) -> str:
        return _api_ep_url.get()

    @api_ep_url.setter
    def api_ep_url(cls, value: str) -> None:
        _api_ep_url.set(value)

    @api_ep_url.deleter
    def api_ep_url(cls) -> None:
        _api_ep_url.set("")


class Globals(metaclass=_PerContext):
    # yaml: the tool's configuration map (keys read by the library: "configure_gw_name",
    # "domain", "spoke_gw_name"); dryRun: whether controller requests are skipped; CID: the
    # identifier every controller request carries; api_ep_url: the controller's API endpoint.
    # All four are per context, on the metaclass.

    @classmethod
    def getDryRun(cls) -> bool:
        return cls.dryRun

    @classmethod
    def setDryRun(cls, value: bool = True) -> None:
        cls.dryRun = bool(value)

    @staticmethod
    @contextlib.contextmanager
    def using(*, CID: str, api_ep_url: str) -> Iterator[None]:
        """The controller's identifier and endpoint for the block, in this context and those
        copied from it; the values before are back after it."""
        cid, url = _cid.set(CID), _api_ep_url.set(api_ep_url)
        try:
            yield
        finally:
            _api_ep_url.reset(url)
            _cid.reset(cid)
