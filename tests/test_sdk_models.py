"""The network SDK's models made from several threads at once."""

import threading
import uuid
from typing import Any

import pytest
from azure.mgmt.network import models
from azure.mgmt.network._utils import model_base

import qn.arm.res.cloud  # noqa: F401  (guards the SDK's models as it loads)


def test_a_model_class_is_worked_out_by_one_thread_while_another_makes_its_first_instance(
    monkeypatch: pytest.MonkeyPatch,
) -> None:
    # A class no thread has made an instance of: its fields are worked out on the first one.
    probe: Any = type(
        f"Probe{uuid.uuid4().hex}",
        (model_base.Model,),
        {
            "__module__": __name__,
            "__annotations__": {"remote": models.SubResource | None},
            "remote": model_base.rest_field(name="remote"),
        },
    )
    working_it_out = threading.Event()
    second_arrived = threading.Event()
    inside, most_inside = [0], [0]
    unguarded = model_base._RestField._get_deserialize_callable_from_annotation

    def working_out(rf: Any, annotation: Any) -> Any:
        # The first thread stays here until the second joins it (or a while has passed).
        inside[0] += 1
        most_inside[0] = max(most_inside[0], inside[0])
        if working_it_out.is_set():
            second_arrived.set()
        else:
            working_it_out.set()
            second_arrived.wait(timeout=0.5)
        try:
            return unguarded(rf, annotation)
        finally:
            inside[0] -= 1

    monkeypatch.setattr(
        model_base._RestField, "_get_deserialize_callable_from_annotation", working_out
    )
    made: list[Any] = []

    def make(after: threading.Event | None) -> None:
        if after is not None:
            after.wait(timeout=5)
        made.append(probe({"remote": {"id": "/subscriptions/s/hub"}}))

    threads = [
        threading.Thread(target=make, args=(None,)),
        threading.Thread(target=make, args=(working_it_out,)),
    ]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()

    assert working_it_out.is_set() and most_inside[0] == 1
    assert [p.remote.id for p in made] == ["/subscriptions/s/hub"] * 2
