"""Lock removal: the first lock of a VNet goes, with its lines indented as the caller asks."""

import pytest

import fakes
import qn.arm.switchlib as switchlib

SUB, RG = "sub-hub", "rg-hub"
ADDRESS = (RG, "Microsoft.Network", "", "virtualNetworks", "hub")


@pytest.fixture
def hub(azure):
    return azure.add_vnet(fakes.vnet(SUB, RG, "hub"))


@pytest.fixture
def cred():
    return fakes.FakeCredential(SUB)


def lock_calls(azure):
    return [(c[1], c[2]) for c in azure.calls if c[1].startswith("management_locks.")]


@pytest.mark.parametrize("missing", ["cred", "vnet"])
def test_nothing_happens_without_credential_or_vnet(ST, azure, hub, cred, logs, missing):
    args = {"cred": cred, "vnet": hub, missing: None}
    assert ST.deleteVnetLock(**args) is None
    assert logs.lines() == []
    assert azure.clients == [] and azure.calls == []


@pytest.mark.parametrize(
    "indent, space",
    [(0, ""), (2, "  "), (4, "    ")],
)
def test_an_unlocked_vnet(ST, azure, hub, cred, logs, indent, space):
    assert ST.deleteVnetLock(cred, hub, indent=indent) is None
    assert logs.lines() == [
        ("INFO", space + "- Delete vnet lock in hub"),
        ("INFO", space + "  no vnet lock found"),
    ]
    assert lock_calls(azure) == [("management_locks.list_at_resource_level", ADDRESS)]
    # The lock client takes the SPC credential, not the CSC one.
    assert azure.clients == [("lock", f"spc:{SUB}", SUB)]


def test_only_the_first_of_two_locks_is_deleted(ST, azure, hub, cred, logs):
    azure.add_lock(hub, fakes.lock("no-delete"))
    azure.add_lock(hub, fakes.lock("read-only", level="ReadOnly"))
    ST.deleteVnetLock(cred, hub, 2)
    assert logs.lines() == [
        ("INFO", "  - Delete vnet lock in hub"),
        ("INFO", "    delete lock no-delete"),
    ]
    assert lock_calls(azure) == [
        ("management_locks.list_at_resource_level", ADDRESS),
        ("management_locks.delete_at_resource_level", ADDRESS + ("no-delete",)),
    ]
    assert [x.name for x in azure.locks[("sub-hub", "rg-hub", "hub")]] == ["read-only"]


def test_a_second_call_finds_no_lock(ST, azure, hub, cred, logs):
    azure.add_lock(hub, fakes.lock("no-delete"))
    ST.deleteVnetLock(cred, hub)
    ST.deleteVnetLock(cred, hub)
    assert logs.messages()[2:] == ["- Delete vnet lock in hub", "  no vnet lock found"]


def test_dry_run_logs_the_same_but_deletes_nothing(ST, azure, hub, cred, logs):
    azure.add_lock(hub, fakes.lock("no-delete"))
    ST.setDryRun()
    ST.deleteVnetLock(cred, hub)
    assert logs.messages() == ["- Delete vnet lock in hub", "  delete lock no-delete"]
    assert azure.writes() == []
    assert len(azure.locks[("sub-hub", "rg-hub", "hub")]) == 1


@pytest.mark.parametrize("indent, space", [(0, ""), (2, "  ")])
def test_a_refused_delete_is_an_error_line(ST, azure, hub, cred, logs, indent, space):
    azure.add_lock(hub, fakes.lock("no-delete"))
    azure.failures[("management_locks.delete_at_resource_level", "no-delete")] = fakes.http_error(
        "AuthorizationFailed: no rights to delete locks", 403
    )
    assert ST.deleteVnetLock(cred, hub, indent=indent) is None
    assert logs.lines()[-1] == (
        "ERROR",
        space + "  **Error** AuthorizationFailed: no rights to delete locks",
    )
    assert len(azure.locks[("sub-hub", "rg-hub", "hub")]) == 1


def test_a_listing_that_is_not_an_iterator_is_reported(ST, hub, cred, logs, monkeypatch):
    class ListingLocks:
        def list_at_resource_level(self, *args):
            return [fakes.lock("no-delete")]

    client = fakes.Model(management_locks=ListingLocks())
    monkeypatch.setattr(switchlib, "ManagementLockClient", lambda credential, sub: client)
    ST.deleteVnetLock(cred, hub)
    assert logs.lines()[-1] == ("ERROR", "  **Error** 'list' object is not an iterator")


def test_a_failed_listing_reaches_the_caller(ST, azure, hub, cred, logs):
    azure.failures[("management_locks.list_at_resource_level", "hub")] = fakes.http_error(
        "throttled", 429
    )
    with pytest.raises(Exception, match="throttled"):
        ST.deleteVnetLock(cred, hub)
    assert logs.messages() == ["- Delete vnet lock in hub"]


def test_a_failing_credential_reaches_the_caller_spc_first(ST, hub, logs):
    class BrokenCredential:
        def getSPC(self):
            raise RuntimeError("no SPC credential")

        def getSubId(self):
            raise LookupError("no subscription")

    with pytest.raises(RuntimeError, match="no SPC credential"):
        ST.deleteVnetLock(BrokenCredential(), hub)
    assert logs.messages() == ["- Delete vnet lock in hub"]
