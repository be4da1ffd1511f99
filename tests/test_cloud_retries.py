"""The tool's SDK clients try a write again while Azure reports the resource busy or throttles,
within a time bound, and say so in the log; any other refusal fails at once."""

import logging

import pytest
from azure.core.exceptions import HttpResponseError

from qn.arm.armsim import Emulator, Fault
from qn.arm.res import cloud

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
BUSY = {"status": 409, "code": "AnotherOperationInProgress"}


@pytest.fixture
def client():
    cloud.configure_retries(total_seconds=0.5, base_delay=0.01, max_delay=0.04)
    with Emulator(TOPOLOGY, token="armsim", time_scale=0.001) as arm:
        cloud.configure(arm.endpoint, ca_bundle=arm.ca_file)
        yield arm, cloud.NetworkManagementClient(cloud.StaticTokenCredential(), SUB)


@pytest.mark.parametrize(
    "fault, succeeds, retries",
    [
        (dict(BUSY, times=2), True, 2),
        (dict(status=429, retry_after=0.01, times=5), True, 5),  # past the SDK's own three
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
