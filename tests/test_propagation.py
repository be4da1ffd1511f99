"""Route propagation: off on a VNet's staged route tables for the switch, and back on."""

import copy
from types import SimpleNamespace

import pytest

import fakes

SUB, RG, FAR_RG = "sub-1", "rg-net", "rg-far"
HEADER_DISABLE = "- Disable propagate-gateway-route in UDR route table"
HEADER_ENABLE = "- Enable propagate-gateway-route in UDR route table"
HEADER_RESTORE = "- Restore propagate-gateway-route in UDR route table"

# old table -> new table, as discovery pairs them in a forward run
PAIRS = {
    "rt-web": "rt-web-new",
    "rt-gone": "rt-gone-new",
    "rt-far": "rt-far-new",
    "rt-db": "rt-db-new",
}
NEW_TAGS = {"vnet": "vn1", "Org_RT": "org_rt-web"}


def record(table, before=False):
    return {
        "vnet": "vn1",
        "resource_group": RG,
        "route_table_name": table,
        "disable_bgp_route_propagation": before,
    }


def alert(table, error_text):
    return [("INFO", f"  **Alert** {table} not found"), ("DEBUG", f"  **Alert** {error_text}")]


def not_found_text(table):
    return f"The Resource 'Microsoft.Network/routeTables/{table}' was not found."


@pytest.fixture
def world(azure, use_prefixes):
    """vn1 with its staged tables: some to change, one already off, one absent, one far away."""
    use_prefixes()
    vnet = azure.add_vnet(fakes.vnet(SUB, RG, "vn1"))
    azure.add_route_table(fakes.route_table(SUB, RG, "rt-web-new", tags=NEW_TAGS))
    for name, off in [
        ("vn1-main-1", False),
        ("vn1-main-2", True),
        ("rt-web", False),
        ("rt-db", False),
        ("rt-db-new", True),
        ("rt-far", False),
    ]:
        azure.add_route_table(fakes.route_table(SUB, RG, name, disable_bgp_route_propagation=off))
    azure.add_route_table(fakes.route_table(SUB, FAR_RG, "rt-far-new"))
    staged = ["vn1-main-1:rg-net", "vn1-main-2:rg-net", "rt-web-new:rg-net", "rt-db-new:rg-net"]
    staged += ["rt-far-new:rg-far"]
    return SimpleNamespace(azure=azure, vnet=vnet, staged=staged, client=azure.network_client(SUB))


def propagation_off(azure, rg, name):
    return azure.table_of(SUB, rg, name).disable_bgp_route_propagation


def disable_all(ST, w, revert=False, flag=True):
    pairs = PAIRS if not revert else {new: old for old, new in PAIRS.items()}
    return ST.setDisableAllRouteTablePropagationInVnet(
        SimpleNamespace(revert=revert), w.client, w.vnet, w.staged, pairs, flag
    )


@pytest.mark.parametrize("revert", [False, True])
def test_disable_then_restore_over_one_vnet(ST, world, logs, revert):
    props = disable_all(ST, world, revert)

    assert props == [record("vn1-main-1"), record("rt-web-new")]
    assert [list(p) for p in props] == [list(record("x"))] * 2
    assert logs.lines() == [
        ("INFO", HEADER_DISABLE),
        ("INFO", "  disable propagate-gateway-route in vn1-main-1"),
        ("INFO", "  disable propagate-gateway-route in rt-web-new"),
        *alert("rt-gone-new", not_found_text("rt-gone-new")),
        *alert("rt-far-new", not_found_text("rt-far-new")),
    ]
    gets = [("route_tables.get", (RG, n)) for n in ("vn1-main-1", "vn1-main-2", "rt-web-new")]
    gets += [("route_tables.get", (RG, n)) for n in ("rt-gone-new", "rt-far-new", "rt-db-new")]
    assert [c[1:] for c in world.azure.calls if c[1].endswith(".get")] == gets
    assert [c[2][:2] for c in world.azure.writes()] == [(RG, "vn1-main-1"), (RG, "rt-web-new")]
    assert all(propagation_off(world.azure, RG, n) for n in ("vn1-main-1", "rt-web-new"))
    # old tables and the far table keep their propagation
    assert not any(propagation_off(world.azure, RG, n) for n in ("rt-web", "rt-db", "rt-far"))
    assert not propagation_off(world.azure, FAR_RG, "rt-far-new")

    # once the updates are in, a second pass finds nothing to change
    assert disable_all(ST, world, revert) == []

    logs.clear()
    world.azure.calls.clear()
    assert ST.restoreRouteTablePropagationInVnet(world.client, props) is None
    assert logs.lines() == [
        ("INFO", HEADER_RESTORE),
        ("INFO", "  enable propagate-gateway-route in vn1-main-1"),
        ("INFO", "  enable propagate-gateway-route in rt-web-new"),
    ]
    assert [(c[1], c[2][:2]) for c in world.azure.calls] == [
        ("route_tables.get", (RG, "vn1-main-1")),
        ("route_tables.begin_create_or_update", (RG, "vn1-main-1")),
        ("route_tables.get", (RG, "rt-web-new")),
        ("route_tables.begin_create_or_update", (RG, "rt-web-new")),
    ]
    # the tables go back whole, only the flag changed
    assert world.azure.table_of(SUB, RG, "rt-web-new") == fakes.route_table(
        SUB, RG, "rt-web-new", tags=NEW_TAGS
    )
    assert propagation_off(world.azure, RG, "vn1-main-1") is False


def test_enable_records_the_state_before_and_updates_without_waiting(ST, world, logs):
    props = disable_all(ST, world, flag=False)

    assert props == [record("vn1-main-2", True), record("rt-db-new", True)]
    assert logs.messages()[0] == HEADER_ENABLE
    assert "  enable propagate-gateway-route in rt-db-new" in logs.messages()
    assert propagation_off(world.azure, RG, "rt-db-new") is False
    assert "wait" not in world.azure.operations()


@pytest.mark.parametrize(
    "prefix, staged, touched",
    [
        # with a configured prefix the main tables are staged and found under it
        ("hub", ["hub-main-1:rg-net", "hub-main-2:rg-net"], ["hub-main-1", "hub-main-2"]),
        ("hub", ["vn1-main-1:rg-net", "vn1-main-2:rg-net"], []),
        (None, ["vn1-main-1:rg-net", "vn1-main-2:rg-net"], ["vn1-main-1", "vn1-main-2"]),
        (None, ["vn1-main-2:rg-net", "vn1-main-1:rg-net"], ["vn1-main-1", "vn1-main-2"]),
        # entries must match exactly: the VNet's own resource group, the table's exact name
        (None, ["vn1-main-1:rg-far", "vn1-main-2:RG-NET", "vn1-main-1", "vn1-main-3:rg-net"], []),
        (None, [], []),
    ],
)
def test_main_tables_are_found_by_their_exact_staged_entries(
    ST, azure, use_prefixes, logs, prefix, staged, touched
):
    use_prefixes({"vn1": prefix} if prefix else {})
    vnet = azure.add_vnet(fakes.vnet(SUB, RG, "vn1"))
    for name in ("vn1-main-1", "vn1-main-2", "vn1-main-3", "hub-main-1", "hub-main-2"):
        azure.add_route_table(fakes.route_table(SUB, RG, name))

    props = ST.setDisableAllRouteTablePropagationInVnet(
        args=SimpleNamespace(revert=False),
        network_client=azure.network_client(SUB),
        vnet=vnet,
        stagedUdrLst=staged,
        rtb_target_rtb_map={},
        disableFlag=True,
    )

    assert [p["route_table_name"] for p in props] == touched
    assert [c[2][1] for c in azure.writes()] == touched
    assert logs.messages() == [HEADER_DISABLE] + [
        f"  disable propagate-gateway-route in {t}" for t in touched
    ]


def test_dry_run_logs_and_returns_the_same_and_only_reads(ST, world, logs):
    def run(dry):
        world.azure.calls.clear()
        logs.clear()
        if dry:
            ST.setDryRun()
        props = disable_all(ST, world)
        ST.restoreRouteTablePropagationInVnet(world.client, props)
        return props, logs.lines(), world.azure.operations()

    tables_before = copy.deepcopy(world.azure.route_tables)
    dry_props, dry_lines, dry_ops = run(dry=True)
    assert world.azure.route_tables == tables_before
    assert set(dry_ops) == {"route_tables.get"}

    ST.DryRun = False
    real_props, real_lines, real_ops = run(dry=False)
    assert real_props == dry_props == [record("vn1-main-1"), record("rt-web-new")]
    assert real_lines == dry_lines
    assert "route_tables.begin_create_or_update" in real_ops


def test_a_failed_update_is_reported_like_a_missing_table(ST, world, logs):
    world.azure.failures[("route_tables.begin_create_or_update", "vn1-main-1")] = fakes.http_error(
        "throttled", 429
    )

    props = disable_all(ST, world)

    assert props == [record("rt-web-new")]
    lines = logs.lines()
    assert lines[1:4] == [
        ("INFO", "  disable propagate-gateway-route in vn1-main-1"),
        *alert("vn1-main-1", "throttled"),
    ]


def test_restore_enables_every_listed_table_whatever_its_state(ST, world, logs):
    world.azure.failures[("route_tables.get", "rt-web")] = KeyError("rt-web")
    props = [
        record("vn1-main-2", before=True),  # propagation off now, record says true
        record("rt-db", before=True),  # propagation on already
        record("rt-web"),  # cannot be read
        {"resource_group": FAR_RG, "route_table_name": "rt-far-new"},
    ]

    ST.restoreRouteTablePropagationInVnet(network_client=world.client, rtbPropList=props)

    assert logs.lines() == [
        ("INFO", HEADER_RESTORE),
        ("INFO", "  enable propagate-gateway-route in vn1-main-2"),
        ("INFO", "  enable propagate-gateway-route in rt-db"),
        *alert("rt-web", "'rt-web'"),
        ("INFO", "  enable propagate-gateway-route in rt-far-new"),
    ]
    assert [c[2][:2] for c in world.azure.writes()] == [
        (RG, "vn1-main-2"),
        (RG, "rt-db"),
        (FAR_RG, "rt-far-new"),
    ]
    assert propagation_off(world.azure, RG, "vn1-main-2") is False


def test_restore_of_nothing_logs_only_its_header(ST, world, logs):
    assert ST.restoreRouteTablePropagationInVnet(world.client, []) is None
    assert logs.lines() == [("INFO", HEADER_RESTORE)]
    assert world.azure.calls == []


@pytest.mark.parametrize(
    "call, error",
    [
        (
            lambda ST, w: ST.restoreRouteTablePropagationInVnet(
                w.client, [record("vn1-main-1"), {"route_table_name": "rt-web-new"}]
            ),
            KeyError,
        ),
        (
            lambda ST, w: ST.setDisableRouteTablePropagation(
                w.client, fakes.Model(id="vn1", name="vn1"), "vn1-main-1", True
            ),
            IndexError,
        ),
        (
            lambda ST, w: ST.setDisableAllRouteTablePropagationInVnet(
                SimpleNamespace(), w.client, w.vnet, w.staged, PAIRS, True
            ),
            AttributeError,
        ),
    ],
    ids=["record-without-group", "vnet-id-without-group", "args-without-revert"],
)
def test_malformed_input_outside_the_guards_stops_the_walk(ST, world, call, error):
    with pytest.raises(error):
        call(ST, world)


def test_the_walk_goes_through_the_class(ST, world):
    seen = []

    class Traced(ST):
        @classmethod
        def setDisableRouteTablePropagation(cls, network_client, vnet, rtbName, disableFlag):
            seen.append(rtbName)
            return None

    assert disable_all(Traced, world) == []
    assert seen == [
        "vn1-main-1",
        "vn1-main-2",
        "rt-web-new",
        "rt-gone-new",
        "rt-far-new",
        "rt-db-new",
    ]
