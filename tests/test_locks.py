"""Lock removal: the first lock of a VNet goes, with its lines indented as the caller asks."""

import pytest

import fakes
import qn.arm.switchlib as switchlib

SUB, RG = "sub-hub", "rg-hub"
ADDRESS = (RG, "Microsoft.Network", "", "virtualNetworks", "hub")
LIST = ("management_locks.list_at_resource_level", ADDRESS)
DELETE = ("management_locks.delete_at_resource_level", ADDRESS + ("no-delete",))


@pytest.fixture
def hub(azure):
    return azure.add_vnet(fakes.vnet(SUB, RG, "hub"))


def remove_lock(ST, azure, hub, locks, indent=0):
    """Runs the removal on a hub holding `locks`; gives the lock calls and the locks left."""
    for name in locks:
        azure.add_lock(hub, fakes.lock(name))
    assert ST.deleteVnetLock(fakes.FakeCredential(SUB), hub, indent=indent) is None
    # The lock client takes the SPC credential, not the CSC one.
    assert azure.clients == [("lock", f"spc:{SUB}", SUB)]
    held = azure.locks.get((SUB, RG, "hub"), [])
    return [(c[1], c[2]) for c in azure.calls], [x.name for x in held]


@pytest.mark.parametrize("missing", ["cred", "vnet"])
def test_nothing_happens_without_credential_or_vnet(ST, azure, hub, logs, missing):
    args = {"cred": fakes.FakeCredential(SUB), "vnet": hub, missing: None}
    assert ST.deleteVnetLock(**args) is None
    assert logs.lines() == [] and azure.clients == [] and azure.calls == []


@pytest.mark.parametrize("indent", [0, 4])
def test_an_unlocked_vnet(ST, azure, hub, logs, indent):
    assert remove_lock(ST, azure, hub, [], indent) == ([LIST], [])
    space = " " * indent
    assert logs.lines() == [
        ("INFO", space + "- Delete vnet lock in hub"),
        ("INFO", space + "  no vnet lock found"),
    ]


def test_only_the_first_of_two_locks_is_deleted(ST, azure, hub, logs):
    calls, left = remove_lock(ST, azure, hub, ["no-delete", "read-only"], 2)
    assert (calls, left) == ([LIST, DELETE], ["read-only"])
    assert logs.lines() == [
        ("INFO", "  - Delete vnet lock in hub"),
        ("INFO", "    delete lock no-delete"),
    ]


@pytest.mark.parametrize("names", [[], ["no-delete"], ["no-delete", "read-only"]])
def test_lock_to_remove_is_the_lock_the_removal_deletes(ST, azure, hub, names):
    planned = switchlib.lock_to_remove([fakes.lock(name) for name in names])
    calls, _ = remove_lock(ST, azure, hub, names)
    deleted = [args[-1] for op, args in calls if op == DELETE[0]]
    assert deleted == ([planned.name] if planned else []) == names[:1]


def test_dry_run_logs_the_same_but_deletes_nothing(ST, azure, hub, logs):
    ST.setDryRun()
    assert remove_lock(ST, azure, hub, ["no-delete"]) == ([LIST], ["no-delete"])
    assert logs.messages() == ["- Delete vnet lock in hub", "  delete lock no-delete"]


def test_a_refused_delete_is_an_error_line(ST, azure, hub, logs):
    refusal = "AuthorizationFailed: no rights to delete locks"
    azure.failures[(DELETE[0], "no-delete")] = fakes.http_error(refusal, 403)
    assert remove_lock(ST, azure, hub, ["no-delete"], 2) == ([LIST, DELETE], ["no-delete"])
    assert logs.lines()[-1] == ("ERROR", "    **Error** " + refusal)


def test_a_listing_that_is_not_an_iterator_is_an_error_line(ST, hub, logs, monkeypatch):
    listing = fakes.Model(list_at_resource_level=lambda *args: [fakes.lock("no-delete")])
    client = fakes.Model(management_locks=listing)
    monkeypatch.setattr(switchlib, "ManagementLockClient", lambda credential, sub: client)
    ST.deleteVnetLock(fakes.FakeCredential(SUB), hub)
    assert logs.lines()[-1] == ("ERROR", "  **Error** 'list' object is not an iterator")


def test_a_failed_listing_reaches_the_caller(ST, azure, hub, logs):
    azure.failures[(LIST[0], "hub")] = fakes.http_error("throttled", 429)
    with pytest.raises(Exception, match="throttled"):
        ST.deleteVnetLock(fakes.FakeCredential(SUB), hub)
    assert logs.messages() == ["- Delete vnet lock in hub"]
