"""Azure's evaluation of the caller's permissions, as the plan's rights check makes it."""

import pytest

from qn.arm.switch_traffic.rights import Entry, allowed

LOCK_DELETE = "Microsoft.Authorization/locks/delete"
SUBNET_WRITE = "Microsoft.Network/virtualNetworks/subnets/write"
CONTRIBUTOR = {
    "actions": ["*"],
    "notActions": ["Microsoft.Authorization/*/Delete", "Microsoft.Authorization/*/Write"],
}


@pytest.mark.parametrize(
    "entries, action, expected",
    [
        ([], SUBNET_WRITE, False),
        ([{"actions": ["*"]}], LOCK_DELETE, True),
        ([{"actions": ["*/read"]}], "Microsoft.Network/virtualNetworks/read", True),
        ([{"actions": ["*/read"]}], SUBNET_WRITE, False),
        # A wildcard spans slashes, and names compare without regard to case.
        ([{"actions": ["Microsoft.Network/*/write"]}], SUBNET_WRITE, True),
        ([{"actions": ["microsoft.authorization/LOCKS/*"]}], LOCK_DELETE, True),
        # A pattern matches the whole action, not a prefix of it.
        ([{"actions": ["Microsoft.Network/virtualNetworks/*"]}],
         "Microsoft.Network/virtualNetworkGateways/write", False),
        ([{"actions": ["Microsoft.Network/routeTables/write"]}],
         "Microsoft.Network/routeTables/write/more", False),
        ([{"actions": ["Microsoft.Network/*"]}], LOCK_DELETE, False),
        ([CONTRIBUTOR], LOCK_DELETE, False),
        ([CONTRIBUTOR], SUBNET_WRITE, True),
        # notActions take away from their own entry only: another assignment still grants.
        ([CONTRIBUTOR, {"actions": ["Microsoft.Authorization/locks/*"]}], LOCK_DELETE, True),
        ([{"actions": ["Microsoft.Authorization/locks/*"], "notActions": ["*/delete"]}],
         LOCK_DELETE, False),
        ([{"dataActions": ["*"]}], SUBNET_WRITE, False),
    ],
)  # fmt: skip
def test_an_action_is_allowed_by_an_entry_that_matches_it_and_does_not_exclude_it(
    entries, action, expected
):
    assert allowed(action, [Entry.model_validate(e) for e in entries]) is expected
