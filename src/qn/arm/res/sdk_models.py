"""The network SDK's models, safe to make from several threads at once.

A model class of the SDK works out its fields (what each one's JSON becomes) on its first
instance, unguarded: it writes that work to the class and to field objects that classes share,
then marks the class done. Two threads making a class's first instance at once (a run's workers
reading their first VNets) interleave in that work; a nested resource has then been seen to stay
the plain dict it came as ("'dict' object has no attribute 'name'" further on), and the class's
dictionary to change while the other thread read it. So each class's first instance is made
under one lock; the instances after it go as the SDK makes them.
"""

import threading
from typing import Any

from azure.mgmt.network._utils.model_base import Model as NetworkModel


def guard_first_instances(model: type) -> None:
    """Has the first instance of each subclass of `model` made under one lock, once."""
    if "_first_instances_guarded" in vars(model):
        return
    unguarded = model.__new__
    ready: set[type] = set()  # the classes whose first instance is made
    lock = threading.RLock()

    def __new__(cls: type, *args: Any, **kwargs: Any) -> Any:
        if cls in ready:
            return unguarded(cls, *args, **kwargs)
        with lock:
            made = unguarded(cls, *args, **kwargs)
            ready.add(cls)
        return made

    model.__new__ = staticmethod(__new__)  # type: ignore[assignment]
    model._first_instances_guarded = True  # type: ignore[attr-defined]


def guard_network_models() -> None:
    guard_first_instances(NetworkModel)
