"""The tool's SDK clients try a write again while Azure reports the resource busy or throttles,
within a time bound, and say so in the log; any other refusal fails at once."""

import contextvars
import copy
import json
import logging
from concurrent.futures import ThreadPoolExecutor
from types import SimpleNamespace

import pytest
from azure.core.exceptions import HttpResponseError
from azure.core.pipeline import PipelineContext, PipelineRequest, PipelineResponse
from azure.core.pipeline.policies import HTTPPolicy
from azure.core.rest import HttpRequest
from azure.core.utils import CaseInsensitiveDict

from qn.arm.armsim import Emulator, Fault
from qn.arm.res import cloud, throttle
from qn.arm.res.credentials import StaticTokenCredential

SUB = "00000000-0000-0000-0000-0000000000a1"
TOPOLOGY = {
    "subscriptions": {
        SUB: {
            "resource_groups": {
                "rg": {
                    "virtual_networks": {
                        "vn": {
                            "address_prefixes": ["10.0.0.0/16"],
                            "subnets": {"web": {"address_prefix": "10.0.1.0/24"}},
                        }
                    }
                }
            }
        }
    }
}
RG = f"/subscriptions/{SUB}/resourceGroups/rg"
NET = "providers/Microsoft.Network"
BUSY = {"status": 409, "code": "AnotherOperationInProgress"}


def reaching(arm, retries):
    """Client settings for the emulator, with pacers of their own."""
    return cloud.ClientSettings(
        cloud.CloudSettings.at(arm.endpoint, ca_bundle=arm.ca_file), retries
    )


@pytest.fixture
def client():
    retries = cloud.RetrySettings(total_seconds=0.5, base_delay=0.01, max_delay=0.04)
    with Emulator(TOPOLOGY, token="armsim", time_scale=0.001) as arm:
        with cloud.using(reaching(arm, retries)):
            yield arm, cloud.NetworkManagementClient(StaticTokenCredential(), SUB)


@pytest.mark.parametrize(
    "fault, succeeds, retries",
    [
        (dict(BUSY, times=2), True, 2),
        (dict(status=429, retry_after=0.01, times=5), True, 5),  # past the SDK's own three
        # Azure's word for a write that waits on another operation of the resource's parent.
        (
            dict(status=429, code="RetryableErrorDueToAnotherOperation", retry_after=0.01, times=5),
            True,
            5,
        ),
        (dict(status=409, code="Conflict", times=1), False, 0),
        (dict(BUSY, times=None), False, None),  # still busy when the bound is reached
    ],
)
def test_busy_and_throttled_writes_are_retried_within_the_bound(
    client, caplog, fault, succeeds, retries
):
    arm, network = client
    arm.faults.add(Fault(method="PUT", resource="subnets/web", **fault))
    subnet = network.subnets.get("rg", "vn", "web")
    caplog.set_level(logging.WARNING, logger="qn.arm.res.cloud")
    if succeeds:
        network.subnets.begin_create_or_update("rg", "vn", "web", subnet).result()
    else:
        with pytest.raises(HttpResponseError):
            network.subnets.begin_create_or_update("rg", "vn", "web", subnet).result()
    lines = [r.getMessage() for r in caplog.records if r.name == "qn.arm.res.cloud"]
    puts = [r for r in arm.requests if r[0] == "PUT"]
    if retries is None:  # doubling waits of 0.01 .. 0.04 s fill half a second
        assert 5 <= len(lines) <= 20 and len(puts) == len(lines) + 1
    else:
        assert len(lines) == retries and len(puts) == retries + 1
    if lines:
        assert lines[0].startswith(
            "  retry PUT Microsoft.Network/virtualNetworks/vn/subnets/web in "
        )


def test_a_client_keeps_the_settings_it_was_built_with(caplog):
    """The SDK polls in threads of its own, outside any context: a client built in a block
    tries a refused write again as the block said, after it and from another thread."""
    retries = cloud.RetrySettings(total_seconds=0.5, base_delay=0.01, max_delay=0.04)
    caplog.set_level(logging.WARNING, logger="qn.arm.res.cloud")
    with Emulator(TOPOLOGY, token="armsim", time_scale=0.001) as arm:
        with cloud.using(reaching(arm, retries)):
            network = cloud.NetworkManagementClient(StaticTokenCredential(), SUB)
        arm.faults.add(Fault(method="PUT", resource="subnets/web", **dict(BUSY, times=1)))

        def write():
            subnet = network.subnets.get("rg", "vn", "web")
            network.subnets.begin_create_or_update("rg", "vn", "web", subnet).result()

        with ThreadPoolExecutor(1) as pool:
            pool.submit(write).result()
    assert [r.getMessage() for r in caplog.records if r.name == "qn.arm.res.cloud"] == [
        "  retry PUT Microsoft.Network/virtualNetworks/vn/subnets/web in 0.01 s: "
        "409 AnotherOperationInProgress (refusal 1)"
    ]


@pytest.mark.parametrize("paced", [True, False])
def test_workers_of_a_subscription_space_their_writes_before_its_allowance_runs_out(caplog, paced):
    """Four workers, each with its own client built in a context copied from the run's, write
    24 times as fast as they can to a subscription whose bucket holds 8 writes: paced, Azure
    refuses none, the operator is told once, and every write lands; unpaced, Azure refuses
    some."""
    scale = 0.3  # Azure's refill of 10 a second becomes 33, faster than the workers write
    interval = cloud.RetrySettings().scaled(scale).pace.interval
    # The low mark is scaled to the small bucket: below 4 left (Azure's: 20 of 200).
    pace = throttle.Pace(below=4 if paced else 0, interval=interval)
    retries = cloud.RetrySettings(base_delay=0.01, max_delay=0.04, pace=pace)
    topology = copy.deepcopy(TOPOLOGY)
    tables = [f"rt-{n}" for n in range(4)]
    topology["subscriptions"][SUB]["resource_groups"]["rg"]["route_tables"] = dict.fromkeys(tables)
    caplog.set_level(logging.WARNING, logger="qn.arm.res.cloud")
    with (
        Emulator(topology, token="armsim", profile="instant", time_scale=scale, allowance=8) as arm,
        cloud.using(reaching(arm, retries)),
    ):

        def worker(table):
            network = cloud.NetworkManagementClient(StaticTokenCredential(), SUB)
            for n in range(6):
                body = {"location": "westus", "tags": {"n": str(n)}}
                network.route_tables.begin_create_or_update("rg", table, body).result()

        contexts = [contextvars.copy_context() for _ in tables]
        with ThreadPoolExecutor(len(tables)) as pool:
            list(pool.map(lambda context, table: context.run(worker, table), contexts, tables))
        snapshot = arm.snapshot()
        refused = len(arm.write_requests()) - 24
    assert {snapshot[f"{RG}/{NET}/routeTables/{t}"]["tags"]["n"] for t in tables} == {"5"}
    slowing = [r for r in caplog.records if "allowance of writes" in r.getMessage()]
    if paced:
        assert refused == 0 and len(slowing) == 1
    else:
        assert refused > 0 and not slowing


class Answers(HTTPPolicy):
    """Azure answering each write as told: (status, headers, error code or None)."""

    def __init__(self, answers):
        super().__init__()
        self.answers = iter(answers)

    def send(self, request):
        status, headers, code = next(self.answers)
        body = json.dumps({"error": {"code": code}} if code else {})
        http = SimpleNamespace(
            status_code=status,
            headers=CaseInsensitiveDict(headers),
            read=lambda: None,
            text=lambda: body,
        )
        return PipelineResponse(request.http_request, http, request.context)


def left(writes):
    return 200, {throttle.HEADER.format(kind="writes"): str(writes)}, None


THROTTLED = 429, {"Retry-After": "2"}, throttle.THROTTLED


@pytest.mark.parametrize(
    "answers, waits",
    [
        # Below the low mark of 20, the fewer left the wider apart: 5 left, four intervals.
        ([left(5)] * 3, [0.4]),
        # A refusal for the allowance holds the subscription's writes for its Retry-After.
        ([THROTTLED, left(100)], [2.0]),
        # An answered write is no longer in flight: it takes nothing more from what is left.
        ([left(21)] * 5, []),
    ],
    ids=["spacing widens", "refusal holds", "answered writes land"],
)
def test_a_subscriptions_writes_wait_as_its_answers_tell(monkeypatch, answers, waits):
    slept = []
    monkeypatch.setattr(throttle.time, "sleep", slept.append)
    pacing = throttle.WritePacing(throttle.Pace(below=20, interval=0.1), throttle.Pacers())
    pacing.next = Answers(answers)
    for _ in answers:
        write = HttpRequest("PUT", f"https://arm.test/subscriptions/{SUB}/resourceGroups/rg")
        pacing.send(PipelineRequest(write, PipelineContext(None)))
    assert slept == pytest.approx(waits, abs=0.05)
