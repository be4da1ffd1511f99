"""A subscription's route tables and virtual networks, listed once for the clients of a run that
ask at about the same time.

Discovery lists every route table of the subscription for each VNet, and the peering step every
virtual network of the peered subscription: in an estate of a hundred VNets, hundreds of
resources per VNet, in its plan and again in its run. Made into the SDK's models, that is most
of the client's time, and a burst that holds up every other worker's requests. A client of a
run gets instead a listing that began after it asked, shared with the clients that asked
meanwhile: what it sees is as fresh as a listing of its own would be, so a table staged or a
subnet moved before it asked is in it. One listing of a kind runs at a time per subscription;
who asks while it runs gets the next one.

What is listed is shared, not copied: the library and the driver read it and never change it.
"""

import threading
from collections.abc import Callable
from concurrent.futures import Future
from typing import Any


class SharedListing:
    """The listings of one kind of resource in one subscription; thread-safe."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._turn = threading.Lock()  # held while a listing runs
        self._next: Future[list[Any]] | None = None  # the listing the askers wait for

    def listed(self, list_all: Callable[[], Any]) -> list[Any]:
        """A listing begun after this call; `list_all` lists, for whoever begins it."""
        with self._lock:
            leads = self._next is None
            if leads:
                self._next = Future()
            listing = self._next
        assert listing is not None
        if leads:
            with self._turn:  # the running listing began before some of its askers asked
                with self._lock:
                    self._next = None  # who asks from now on waits for the one after
                try:
                    listing.set_result(list(list_all()))
                except BaseException as error:  # each asker fails as its own listing would
                    listing.set_exception(error)
        return list(listing.result())


class Listings:
    """The shared listings of one run's clients, by kind and subscription."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._of: dict[tuple[str, str], SharedListing] = {}

    def shared(self, kind: str, subscription: str, operations: Any) -> Any:
        """`operations` (a client's route_tables, say) with its `list_all` shared: it stands
        in for them, so it has their type for whoever uses the client."""
        with self._lock:
            listing = self._of.setdefault((kind, subscription.lower()), SharedListing())
        return SharedListAll(operations, listing)


class SharedListAll:
    """A client's operations on one kind of resource, with its listing shared; the rest are
    the client's own."""

    def __init__(self, operations: Any, listing: SharedListing) -> None:
        self._operations = operations
        self._listing = listing

    def list_all(self) -> list[Any]:
        return self._listing.listed(self._operations.list_all)

    def __getattr__(self, name: str) -> Any:
        return getattr(self._operations, name)
