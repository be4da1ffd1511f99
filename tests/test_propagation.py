"""Route propagation: off on a VNet's staged route tables for the switch, and back on."""

from types import SimpleNamespace

import pytest

import fakes

SUB, RG, FAR_RG = "sub-1", "rg-net", "rg-far"
HEADER = "- {} propagate-gateway-route in UDR route table"
# old table -> new table, as discovery pairs them in a forward run
PAIRS = {f"rt-{name}": f"rt-{name}-new" for name in ("web", "gone", "far", "db")}
NEW_TAGS = {"vnet": "vn1", "Org_RT": "org_rt-web"}
# every table the walk asks for, in order: main-1, main-2, then the new tables of the pairing
WALK = ["vn1-main-1", "vn1-main-2", "rt-web-new", "rt-gone-new", "rt-far-new", "rt-db-new"]


def record(table, before=False):
    return dict(
        vnet="vn1", resource_group=RG, route_table_name=table, disable_bgp_route_propagation=before
    )


def item(verb, table):
    return ("INFO", f"  {verb} propagate-gateway-route in {table}")


def alert(table, error_text):
    return [("INFO", f"  **Alert** {table} not found"), ("DEBUG", f"  **Alert** {error_text}")]


@pytest.fixture
def world(azure, use_prefixes):
    """vn1's staged tables: two to change, two already off, one absent, one in another group."""
    use_prefixes()
    vnet = azure.add_vnet(fakes.vnet(SUB, RG, "vn1"))
    for rg, name, off, tags in [
        (RG, "vn1-main-1", False, None),
        (RG, "vn1-main-2", True, None),
        (RG, "rt-web-new", False, NEW_TAGS),
        (RG, "rt-db-new", True, None),
        (RG, "rt-web", False, None),
        (FAR_RG, "rt-far-new", False, None),
    ]:
        azure.add_route_table(fakes.route_table(SUB, rg, name, tags, off))
    staged = [f"{n}:{RG}" for n in ("vn1-main-1", "vn1-main-2", "rt-web-new", "rt-db-new")]
    staged.append(f"rt-far-new:{FAR_RG}")
    return SimpleNamespace(azure=azure, vnet=vnet, staged=staged, client=azure.network_client(SUB))


def propagation_off(azure, name, rg=RG):
    return azure.table_of(SUB, rg, name).disable_bgp_route_propagation


def disable_all(ST, w, revert=False, flag=True, staged=None, pairs=None, args=None):
    if pairs is None:
        pairs = PAIRS if not revert else {new: old for old, new in PAIRS.items()}
    return ST.setDisableAllRouteTablePropagationInVnet(
        args or SimpleNamespace(revert=revert), w.client, w.vnet, staged or w.staged, pairs, flag
    )


@pytest.mark.parametrize("revert", [False, True])
def test_disable_then_restore_over_one_vnet(ST, world, logs, revert):
    props = disable_all(ST, world, revert)

    assert props == [record("vn1-main-1"), record("rt-web-new")]
    assert [list(p) for p in props] == [list(record("x"))] * 2
    not_found = "The Resource 'Microsoft.Network/routeTables/{}' was not found."
    assert logs.lines() == [
        ("INFO", HEADER.format("Disable")),
        item("disable", "vn1-main-1"),
        item("disable", "rt-web-new"),
        *alert("rt-gone-new", not_found.format("rt-gone-new")),
        *alert("rt-far-new", not_found.format("rt-far-new")),
    ]
    # every table is looked up in the VNet's group, whatever group its staged entry names
    gets = [c[2] for c in world.azure.calls if c[1] == "route_tables.get"]
    assert gets == [(RG, name) for name in WALK]
    assert [c[2][:2] for c in world.azure.writes()] == [(RG, "vn1-main-1"), (RG, "rt-web-new")]
    assert propagation_off(world.azure, "vn1-main-1") and propagation_off(world.azure, "rt-web-new")
    # once the updates are in, a second pass finds nothing to change
    assert disable_all(ST, world, revert) == []

    logs.clear()
    world.azure.calls.clear()
    assert ST.restoreRouteTablePropagationInVnet(world.client, props) is None
    assert logs.lines() == [
        ("INFO", HEADER.format("Restore")),
        item("enable", "vn1-main-1"),
        item("enable", "rt-web-new"),
    ]
    assert [(c[1], c[2][:2]) for c in world.azure.calls] == [
        (op, (RG, name))
        for name in ("vn1-main-1", "rt-web-new")
        for op in ("route_tables.get", "route_tables.begin_create_or_update")
    ]
    # the tables go back whole, only the flag changed
    restored = fakes.route_table(SUB, RG, "rt-web-new", tags=NEW_TAGS)
    assert world.azure.table_of(SUB, RG, "rt-web-new") == restored


def test_enable_records_the_state_before_and_guards_each_update(ST, world, logs):
    failure = fakes.http_error("throttled", 429)
    world.azure.failures[("route_tables.begin_create_or_update", "vn1-main-2")] = failure

    assert disable_all(ST, world, flag=False) == [record("rt-db-new", before=True)]
    assert logs.lines()[:4] == [
        ("INFO", HEADER.format("Enable")),
        item("enable", "vn1-main-2"),
        *alert("vn1-main-2", "throttled"),
    ]
    assert propagation_off(world.azure, "rt-db-new") is False
    assert "wait" not in world.azure.operations()


@pytest.mark.parametrize(
    "prefix, staged, touched",
    [
        # with a configured prefix the main tables are found under it, main-1 first, and only so
        ("hub", ["hub-main-2:rg-net", "hub-main-1:rg-net"], ["hub-main-1", "hub-main-2"]),
        ("hub", ["vn1-main-1:rg-net", "vn1-main-2:rg-net"], []),
        # entries must match exactly: the VNet's own resource group, the table's exact name
        (None, ["vn1-main-1:rg-far", "vn1-main-1:RG-NET", "vn1-main-1", "vn1-main-3:rg-net"], []),
    ],
)
def test_main_tables_are_found_by_their_exact_staged_entries(
    ST, world, use_prefixes, logs, prefix, staged, touched
):
    use_prefixes({"vn1": prefix} if prefix else {})
    for name in ("vn1-main-3", "hub-main-1", "hub-main-2"):
        world.azure.add_route_table(fakes.route_table(SUB, RG, name))

    props = ST.setDisableAllRouteTablePropagationInVnet(
        args=SimpleNamespace(revert=False),
        network_client=world.client,
        vnet=world.vnet,
        stagedUdrLst=staged,
        rtb_target_rtb_map={},
        disableFlag=True,
    )

    assert [p["route_table_name"] for p in props] == touched
    assert [c[2][1] for c in world.azure.writes()] == touched
    assert logs.lines() == [("INFO", HEADER.format("Disable"))] + [
        item("disable", t) for t in touched
    ]


def test_dry_run_logs_and_returns_the_same_and_only_reads(ST, world, logs):
    def run():
        world.azure.calls.clear()
        logs.clear()
        props = disable_all(ST, world)
        ST.restoreRouteTablePropagationInVnet(world.client, props)
        return props, logs.lines(), set(world.azure.operations())

    ST.setDryRun()
    dry = run()
    ST.DryRun = False
    real = run()
    assert dry[:2] == real[:2] and real[0] == [record("vn1-main-1"), record("rt-web-new")]
    assert dry[2] == {"route_tables.get"}
    assert real[2] == {"route_tables.get", "route_tables.begin_create_or_update"}


def test_restore_enables_every_listed_table_whatever_its_state(ST, world, logs):
    world.azure.failures[("route_tables.get", "rt-web")] = KeyError("rt-web")
    props = [
        record("vn1-main-2", before=True),  # propagation off now, record says true
        record("rt-web-new", before=True),  # propagation on already
        record("rt-web"),  # cannot be read
        {"resource_group": FAR_RG, "route_table_name": "rt-far-new"},
    ]

    ST.restoreRouteTablePropagationInVnet(network_client=world.client, rtbPropList=props)

    assert logs.lines() == [
        ("INFO", HEADER.format("Restore")),
        item("enable", "vn1-main-2"),
        item("enable", "rt-web-new"),
        *alert("rt-web", "'rt-web'"),
        item("enable", "rt-far-new"),
    ]
    written = [c[2][:2] for c in world.azure.writes()]
    assert written == [(RG, "vn1-main-2"), (RG, "rt-web-new"), (FAR_RG, "rt-far-new")]
    assert propagation_off(world.azure, "vn1-main-2") is False


@pytest.mark.parametrize("interrupt", [KeyboardInterrupt, SystemExit])
def test_an_interrupt_ends_the_walk_and_the_restore(ST, world, logs, interrupt):
    world.azure.failures[("route_tables.get", "vn1-main-1")] = interrupt()
    with pytest.raises(interrupt):
        disable_all(ST, world)
    with pytest.raises(interrupt):
        ST.restoreRouteTablePropagationInVnet(
            world.client, [record("vn1-main-1"), record("rt-web")]
        )
    assert world.azure.operations() == ["route_tables.get"] * 2
    assert not [line for line in logs.messages() if "**" in line]


def test_malformed_input_outside_the_guards_stops_the_walk(ST, world):
    with pytest.raises(KeyError):
        bad = [record("vn1-main-1"), {"route_table_name": "rt-web-new"}]
        ST.restoreRouteTablePropagationInVnet(world.client, bad)
    with pytest.raises(IndexError):
        vnet = fakes.Model(id="vn1", name="vn1")
        ST.setDisableRouteTablePropagation(world.client, vnet, "vn1-main-1", True)
    with pytest.raises(AttributeError):
        disable_all(ST, world, args=SimpleNamespace())


def test_the_walk_goes_through_the_class(ST, world):
    seen = []

    class Traced(ST):
        @classmethod
        def setDisableRouteTablePropagation(cls, network_client, vnet, rtbName, disableFlag):
            seen.append(rtbName)

    assert disable_all(Traced, world) == []
    assert seen == WALK
