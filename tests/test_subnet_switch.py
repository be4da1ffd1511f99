"""Subnet switch-over: every subnet to its staged route table, and back on revert."""

import pytest
from azure.core.exceptions import HttpResponseError

import fakes
import qn.arm.switchlib as switchlib

SUB, RG, OLD_RG = "sub-1", "rg-net", "rg-old"
VNET = "vn.1"
HEADER = ("INFO", "- Switch subnet to route-table association")
FORWARD_MAP = {"rt-app": "rt-app-new", "rt-db": "rt-db-new"}
REVERT_MAP = {new: old for old, new in FORWARD_MAP.items()}
TABLE_RG = {"rt-db": OLD_RG}  # every other table lives in the VNet's resource group
TABLES = ["rt-app", "rt-db", "rt-spoke", "rt-unknown", "vn.1-default", "rt-app-new", "rt-db-new"]
TABLES += ["vn.1-main-1", "vn.1-main-2"]

# subnet name, route table, delegations
SUBNETS = [
    ("app.a", "rt-app", ()),
    ("plain", None, ()),
    ("GatewaySubnet", "rt-app", ()),
    ("dflt", "vn.1-default", ()),
    ("db", "rt-db", ()),
    ("files", "rt-app", ("Microsoft.Netapp/volumes",)),
    ("x-lumaflow-spoke-gw", "rt-spoke", ()),
    ("grouped", None, ()),
    ("other", "rt-unknown", ()),
    ("web", None, ("Microsoft.Web/serverFarms",)),
]
BEFORE = {name: table for name, table, _ in SUBNETS}
SWITCHED = ["app.a", "plain", "dflt", "db", "grouped", "web"]
# the subnets that a second run finds on a table it does not know, in walk order
SECOND_RUN = ["app.a", "plain", "dflt", "db", "grouped", "other", "web"]

# a subnet on a table that the run's pairing does not know, forward and revert
FORWARD_NOT_COPIED = "  **Alert** {} associated to {} not copied -- skipped"
REVERT_NOT_COPIED = "  **Alert** {} is using a route table {} that has not been copied -- skipped"
# the two filters every direction applies, and the spoke gateway subnet that keeps its table
GATEWAY = ("INFO", "  found Azure GatewaySubnet -- skipped ")
NETAPP = ("INFO", "  files delegated to Microsoft.Netapp/volumes -- skipped")
SPOKE = ("INFO", "  spoke gw subnet x-lumaflow-spoke-gw -- skipped")

FORWARD_LINES = [
    HEADER,
    ("INFO", "  switch app.a from rt-app to rt-app-new"),
    ("INFO", "  associate plain to vn.1-main-1"),
    GATEWAY,
    ("INFO", "  associate dflt to vn.1-main-2"),
    ("INFO", "  switch db from rt-db to rt-db-new"),
    NETAPP,
    SPOKE,
    ("INFO", "  associate grouped to vn.1-main-1"),
    ("WARNING", FORWARD_NOT_COPIED.format("other", "rt-unknown")),
    ("INFO", "  associate web to vn.1-main-2"),
]
AFTER_FORWARD = {**BEFORE, "app.a": "rt-app-new", "db": "rt-db-new", "plain": "vn.1-main-1"}
AFTER_FORWARD.update(dflt="vn.1-main-2", grouped="vn.1-main-1", web="vn.1-main-2")

REVERT_LINES = [
    HEADER,
    ("INFO", "  switch app.a from rt-app-new to rt-app"),
    ("INFO", "  re-associate plain from vn.1-main-1 to vn.1-default"),
    GATEWAY,
    ("INFO", "  re-associate dflt from vn.1-main-2 to vn.1-default"),
    ("INFO", "  switch db from rt-db-new to rt-db"),
    NETAPP,
    SPOKE,
    ("INFO", "  re-associate grouped from vn.1-main-1 to vn.1-default"),
    ("WARNING", REVERT_NOT_COPIED.format("other", "rt-unknown")),
    ("INFO", "  re-associate web from vn.1-main-2 to vn.1-default"),
]
AFTER_REVERT = {**BEFORE, "plain": "vn.1-default", "grouped": "vn.1-default", "web": "vn.1-default"}


def config(**changes):
    yaml = {
        "default_route_table": "default",
        "subscriptionId": SUB,
        "subscriptionInfo": {"alias": "prod"},
        "migrate_non_associated_subnet": True,
        "subnet_in_subnet_groups": ["grouped"],
    }
    return {**yaml, **changes}


def table_id(name):
    return fakes.rid(SUB, TABLE_RG.get(name, RG), "routeTables", name)


@pytest.fixture
def vnet(azure, terraform, use_yaml_context, use_prefixes):
    use_prefixes()
    use_yaml_context(settings={"configure_shared_route_table_replication": 0})
    for name in TABLES:
        azure.add_route_table(fakes.route_table(SUB, TABLE_RG.get(name, RG), name))
    model = fakes.vnet(SUB, RG, VNET)
    subnets = [fakes.subnet(model, n, t and table_id(t), d) for n, t, d in SUBNETS]
    return azure.add_vnet(model, subnets=subnets)


def forward(ST, azure, vnet, yaml=None):
    return ST.updateSubnetAssociation(
        yaml or config(), False, azure.network_client(SUB), vnet, dict(FORWARD_MAP), {}
    )


def revert(ST, azure, vnet, yaml=None):
    return ST.updateSubnetAssociation(
        yaml=yaml or config(),
        revert=True,
        network_client=azure.network_client(SUB),
        vnet=vnet,
        rtb_target_rtb_map=dict(REVERT_MAP),
        orgRouteTableInfo={
            n: azure.table_of(SUB, TABLE_RG.get(n, RG), n) for n in REVERT_MAP.values()
        },
    )


def associations(azure, vnet_name=VNET):
    subnets = azure.subnets[fakes._key(SUB, RG, vnet_name)].values()
    return {s.name: s.route_table and s.route_table.id.split("/")[-1] for s in subnets}


def written(azure):
    """Every subnet write (group, VNet, subnet) and every wait, in order."""
    return [
        args[:3] if op.startswith("subnets.") else args[0]
        for _, op, args in azure.calls
        if op in ("subnets.begin_create_or_update", "wait")
    ]


def writes_of(names):
    """Each subnet written into the VNet's group and waited for before the next one."""
    return [w for n in names for w in ((RG, VNET, n), f"subnets.begin_create_or_update:{n}")]


def run_before(ST, azure, vnet, terraform, logs, runs):
    """Makes all runs but the last, then forgets their calls, lines and records."""
    for run in runs[:-1]:
        run(ST, azure, vnet)
    terraform.records.clear()
    logs.clear()
    azure.calls.clear()
    return associations(azure)


def assert_lines_then_report(ST, azure, vnet, logs, item_lines):
    """The run's own lines, then a final report that matches the subnets as Azure has them."""
    lines = logs.lines()
    logs.clear()
    ST.discoverSubnets(azure.network_client(SUB), vnet)
    assert lines == item_lines + logs.lines()


def record(subnet, table, ref):
    resource = f"vn_1_{subnet.replace('.', '_')}"
    return {
        "vnet_name": VNET,
        "subnet_id": f"{fakes.rid(SUB, RG, 'virtualNetworks', VNET)}/subnets/{subnet}",
        "subnet_ref": f"azurerm_subnet.{resource}.id",
        "route_table_id": table_id(table),
        "route_table_ref": ref,
        "rname": f"{resource}_{table.replace('.', '_')}",
        "provider": "prod",
    }


def staged_ref(table):
    return f'module.vn.1.azurerm_route_table_lumaflow_managed["{table}"].id'


def main_ref(index):
    return f"module.vn.1.azurerm_route_table_lumaflow_managed_main[{index}].id"


FORWARD_RECORDS = [
    record("app.a", "rt-app-new", staged_ref("rt-app-new")),
    record("plain", "vn.1-main-1", main_ref(0)),
    record("dflt", "vn.1-main-2", main_ref(1)),
    record("db", "rt-db-new", staged_ref("rt-db-new")),
    record("web", "vn.1-main-2", main_ref(1)),
]


def test_forward_then_revert_over_a_mixed_vnet(ST, azure, vnet, terraform, logs):
    assert forward(ST, azure, vnet) is None
    assert terraform.records == FORWARD_RECORDS
    assert associations(azure) == AFTER_FORWARD
    assert written(azure) == writes_of(SWITCHED)
    assert_lines_then_report(ST, azure, vnet, logs, FORWARD_LINES)

    logs.clear()
    azure.calls.clear()
    assert revert(ST, azure, vnet) is None
    assert terraform.records == FORWARD_RECORDS  # the revert writes no Terraform
    assert associations(azure) == AFTER_REVERT
    assert written(azure) == writes_of(SWITCHED)
    # the old table is read from its own group; the subnet is still written into the VNet's
    assert (SUB, "route_tables.get", (OLD_RG, "rt-db")) in azure.calls
    assert_lines_then_report(ST, azure, vnet, logs, REVERT_LINES)


# what the forward walk does with each subnet of the mixed VNet, as the driver asks beforehand
DECISIONS = {
    "app.a": ("staged", "rt-app-new"),
    "plain": ("main", None),
    "GatewaySubnet": ("reserved", None),
    "dflt": ("main", None),
    "db": ("staged", "rt-db-new"),
    "files": ("netapp", None),
    "x-lumaflow-spoke-gw": ("spoke_gateway", None),
    "grouped": ("main", None),
    "other": ("not_copied", None),
    "web": ("main", None),
}
WITHOUT_TABLE = ["plain", "dflt", "grouped", "web"]


@pytest.mark.parametrize(
    "changes, decided",
    [
        ({}, {}),
        (
            {"migrate_non_associated_subnet": False},
            dict.fromkeys(WITHOUT_TABLE, ("not_migrated", None)),
        ),
        ({"default_route_table": None}, {"dflt": ("not_copied", None)}),
    ],
    ids=["as-configured", "not-migrated", "no-default-table"],
)
def test_forward_switch_target_is_the_walks_decision(ST, azure, vnet, changes, decided):
    yaml = config(**changes)
    subnets = azure.network_client(SUB).subnets.list(RG, VNET)
    targets = {s.name: switchlib.forward_switch_target(yaml, vnet, s, FORWARD_MAP) for s in subnets}
    assert targets == {**DECISIONS, **decided}
    forward(ST, azure, vnet, yaml)
    moved = {name: table for name, table in associations(azure).items() if table != BEFORE[name]}
    assert moved.keys() == {n for n, (kind, _) in targets.items() if kind in ("main", "staged")}
    for name, table in moved.items():
        kind, staged = targets[name]
        assert table in (switchlib.main_table_names(VNET) if kind == "main" else [staged])


# the run under test is the last of each list
FORWARD_RUN, REVERT_RUN = [forward], [forward, revert]


@pytest.mark.parametrize(
    "runs, warning", [(FORWARD_RUN, FORWARD_NOT_COPIED), (REVERT_RUN, REVERT_NOT_COPIED)]
)
def test_second_runs_leave_everything_unchanged(ST, azure, vnet, terraform, logs, runs, warning):
    state = run_before(ST, azure, vnet, terraform, logs, runs + runs[-1:])
    runs[-1](ST, azure, vnet)
    assert written(azure) == [] and associations(azure) == state and terraform.records == []
    assert logs.messages("WARNING") == [warning.format(n, state[n]) for n in SECOND_RUN]


@pytest.mark.parametrize(
    "runs, lines, records",
    [(FORWARD_RUN, FORWARD_LINES, FORWARD_RECORDS), (REVERT_RUN, REVERT_LINES, [])],
)
def test_dry_run_reads_and_logs_only(ST, azure, vnet, terraform, logs, runs, lines, records):
    state = run_before(ST, azure, vnet, terraform, logs, runs)
    ST.setDryRun()
    assert runs[-1](ST, azure, vnet) is None
    assert azure.writes() == [] and "wait" not in azure.operations()
    assert terraform.records == records and associations(azure) == state
    assert_lines_then_report(ST, azure, vnet, logs, lines)


@pytest.mark.parametrize("revert_value", [0, None])
def test_direction_is_forward_only_when_revert_equals_false(ST, azure, vnet, logs, revert_value):
    azure.subnets[fakes._key(SUB, RG, VNET)] = {"plain": fakes.subnet(vnet, "plain")}
    ST.updateSubnetAssociation(
        config(), revert_value, azure.network_client(SUB), vnet, dict(FORWARD_MAP), {}
    )
    assert associations(azure)["plain"] == ("vn.1-main-1" if revert_value is not None else None)


def test_empty_vnet_reads_the_default_table_and_reports(ST, azure, vnet, terraform, logs):
    azure.subnets[fakes._key(SUB, RG, VNET)] = {}
    forward(ST, azure, vnet)
    assert logs.messages() == [HEADER[1], "- Discover subnet to route-table association"]
    assert azure.operations() == ["subnets.list", "route_tables.get", "subnets.list"]
    assert terraform.records == []


# -- failures and settings -------------------------------------------------------------------


@pytest.mark.parametrize("direction", ["forward", "revert"])
def test_missing_default_table_is_an_alert_and_the_run_goes_on(ST, azure, vnet, logs, direction):
    yaml = config(default_route_table="gone")
    if direction == "revert":
        forward(ST, azure, vnet)
        logs.clear()
        revert(ST, azure, vnet, yaml=yaml)
        assert "  re-associate plain from vn.1-main-1 to None" in logs.messages()
        assert associations(azure)["plain"] is None and associations(azure)["app.a"] == "rt-app"
    else:
        forward(ST, azure, vnet, yaml=yaml)
        # a subnet on another table than the configured default is its own table's business
        assert FORWARD_NOT_COPIED.format("dflt", "vn.1-default") in logs.messages()
        assert associations(azure)["plain"] == "vn.1-main-1"
    gone = "The Resource 'Microsoft.Network/routeTables/vn.1-gone' was not found."
    alert = [("INFO", "  **Alert** vn.1-gone not found"), ("DEBUG", f"  **Alert** {gone}")]
    assert logs.lines()[1:3] == alert


def test_unset_default_table_leaves_default_subnets_alone(ST, azure, vnet, logs):
    forward(ST, azure, vnet, yaml=config(default_route_table=None))
    assert ("route_tables.get", (RG, "vn.1-None")) not in [(c[1], c[2]) for c in azure.calls]
    assert FORWARD_NOT_COPIED.format("dflt", "vn.1-default") in logs.messages()
    assert associations(azure)["web"] == "vn.1-main-1"


def test_failed_main_table_fetch_ends_the_run_without_report(ST, azure, vnet, terraform, logs):
    azure.failures[("route_tables.get", "vn.1-main-2")] = fakes.http_error("throttled", 429)
    assert forward(ST, azure, vnet) is None
    assert logs.lines() == FORWARD_LINES[:4] + [("ERROR", "  **Error** throttled")]
    assert associations(azure) == {**BEFORE, "app.a": "rt-app-new", "plain": "vn.1-main-1"}
    assert azure.operations("subnets.list") == ["subnets.list"]
    assert terraform.records == FORWARD_RECORDS[:2]


@pytest.mark.parametrize(
    "runs, table, interrupt",
    [
        (FORWARD_RUN, "vn.1-default", KeyboardInterrupt),
        (FORWARD_RUN, "vn.1-main-1", SystemExit),
        (REVERT_RUN, "rt-app", KeyboardInterrupt),
    ],
    ids=["default", "main", "revert-target"],
)
def test_an_interrupt_while_a_table_is_fetched_ends_the_run(
    ST, azure, vnet, terraform, logs, runs, table, interrupt
):
    run_before(ST, azure, vnet, terraform, logs, runs)
    azure.failures[("route_tables.get", table)] = interrupt()
    with pytest.raises(interrupt):
        runs[-1](ST, azure, vnet)
    assert azure.calls[-1][1:] == ("route_tables.get", (TABLE_RG.get(table, RG), table))
    assert not [line for line in logs.messages() if "**" in line]


@pytest.mark.parametrize("migrate, moved", [(False, False), (0, True), (None, True)])
def test_only_the_boolean_false_keeps_subnets_without_table(ST, azure, vnet, logs, migrate, moved):
    forward(ST, azure, vnet, yaml=config(migrate_non_associated_subnet=migrate))
    skip = "  subnet plain without route table association -- skipped"
    assert (skip in logs.messages()) is not moved
    assert associations(azure)["plain"] == ("vn.1-main-1" if moved else None)
    assert associations(azure)["app.a"] == "rt-app-new"


def test_main_tables_follow_the_configured_prefix(ST, azure, vnet, terraform, use_prefixes):
    use_prefixes({VNET: "p.x"})
    for index in (1, 2):
        azure.add_route_table(fakes.route_table(SUB, RG, f"p.x-main-{index}"))
    forward(ST, azure, vnet)
    assert associations(azure)["plain"] == "p.x-main-1"
    assert associations(azure)["dflt"] == "p.x-main-2"
    assert terraform.records[1]["rname"] == "vn_1_plain_p_x-main-1"
    assert terraform.records[1]["route_table_ref"] == main_ref(0)
    assert switchlib.main_table_names(VNET) == ["p.x-main-1", "p.x-main-2"]


@pytest.mark.parametrize("missing", [*config(), "alias"])
def test_missing_configuration_key_fails_the_run(ST, azure, vnet, missing):
    yaml = config()
    del (yaml["subscriptionInfo"] if missing == "alias" else yaml)[missing]
    with pytest.raises(KeyError, match=missing):
        forward(ST, azure, vnet, yaml=yaml)


def test_failed_target_fetch_fails_the_run(ST, azure, vnet):
    azure.failures[("route_tables.get", "rt-db-new")] = fakes.http_error("denied", 403)
    with pytest.raises(HttpResponseError, match="denied"):
        forward(ST, azure, vnet)
    assert associations(azure)["dflt"] == "vn.1-main-2" and associations(azure)["web"] is None


# the write fails in one direction, the wait in the other
@pytest.mark.parametrize(
    "where, runs", [("failures", FORWARD_RUN), ("poller_failures", REVERT_RUN)]
)
def test_failed_subnet_write_fails_the_run(ST, azure, vnet, terraform, logs, where, runs):
    before = run_before(ST, azure, vnet, terraform, logs, runs)
    getattr(azure, where)[("subnets.begin_create_or_update", "dflt")] = fakes.http_error("busy")
    with pytest.raises(HttpResponseError, match="busy"):
        runs[-1](ST, azure, vnet)
    assert azure.operations("subnets.list") == ["subnets.list"]  # no final report
    assert associations(azure)["plain"] != before["plain"]  # handled before the failure
    assert associations(azure)["db"] == before["db"]  # never reached


# -- shared route-table replication ------------------------------------------------------------


def test_replication_picks_the_listed_table(ST, azure, vnet, terraform, use_yaml_context, logs):
    context = use_yaml_context(settings={"configure_shared_route_table_replication": 2})
    azure.add_route_table(fakes.route_table(SUB, RG, "rt-shared"))
    entries = [("app", "wrong"), ("app.a", "rt-shared"), ("app.a", "later")]
    terraform.discovery = {
        "rtbSubnetGwGroupInfos": {
            vnet.id: {"rt-app": [{"subnetId": s, "rtbName": t} for s, t in entries], "rt-db": []}
        }
    }
    forward(ST, azure, vnet)
    assert "  switch app.a from rt-app to rt-shared" in logs.messages()
    assert associations(azure)["app.a"] == "rt-shared" and associations(azure)["db"] == "rt-db-new"
    assert terraform.records[0] == record("app.a", "rt-shared", staged_ref("rt-shared"))
    assert terraform.discovery_reads == 2
    setting = ("getGlobalContext", "configure_shared_route_table_replication")
    assert context.calls.count(setting) == 2


def test_replication_without_vnet_info_skips(ST, azure, vnet, terraform, use_yaml_context, logs):
    use_yaml_context(settings={"configure_shared_route_table_replication": 1})
    terraform.discovery = {"rtbSubnetGwGroupInfos": {}}
    forward(ST, azure, vnet)
    assert logs.lines("ERROR") == [
        ("ERROR", f"  fail to reassociate {name} - no {vnet} info found in discovery.json")
        for name in ("app.a", "db")
    ]
    assert associations(azure)["app.a"] == "rt-app"
    assert associations(azure)["plain"] == "vn.1-main-1"


def test_replication_without_the_table_fails_the_run(ST, azure, vnet, terraform, use_yaml_context):
    use_yaml_context(settings={"configure_shared_route_table_replication": 1})
    terraform.discovery = {"rtbSubnetGwGroupInfos": {vnet.id: {}}}
    with pytest.raises(KeyError, match="rt-app"):
        forward(ST, azure, vnet)


# -- revert edge cases ---------------------------------------------------------------------------


def test_revert_skips_only_the_subnets_it_cannot_resolve(ST, azure, terraform, use_prefixes, logs):
    """A VNet whose main tables are prefixed p, on the staged tables of a past forward run."""
    use_prefixes({"vn1": "p"})
    vn1 = fakes.vnet(SUB, RG, "vn1")
    for rg, name in [(RG, "vn1-default"), (RG, "rt-d"), (OLD_RG, "rt-e")]:
        azure.add_route_table(fakes.route_table(SUB, rg, name))
    on = {"a": "p-main-9", "b": None, "c": "rt-c-new", "d": "rt-d-new", "e": "rt-e-new"}
    on.update({"f": "vn1-main-1", "g": "rt-g-new", "lumaflow-spoke-hagw": "rt-e-new"})
    ids = {name: table and fakes.rid(SUB, RG, "routeTables", table) for name, table in on.items()}
    azure.add_vnet(vn1, subnets=[fakes.subnet(vn1, name, table) for name, table in ids.items()])
    azure.failures[("route_tables.get", "rt-d")] = fakes.http_error("throttled", 429)
    mapping = {"rt-c-new": "rt-c", "rt-d-new": "rt-d", "rt-e-new": "rt-e", "rt-g-new": "rt-g"}
    info = {n: azure.table_of(SUB, rg, n) for rg, n in [(RG, "rt-d"), (OLD_RG, "rt-e")]}
    info["rt-g"] = fakes.Model(id="rt-g")

    ST.updateSubnetAssociation(config(), True, azure.network_client(SUB), vn1, mapping, info)

    no_table = "Subnet b without route table detected during revert traffic"
    expected = [
        HEADER,
        ("INFO", "  re-associate a from p-main-9 to vn1-default"),
        ("WARNING", f"  **Alert** {no_table} -- skipped"),
        ("WARNING", "  **Alert** rt-c-new region info not found -- skipped"),
        ("ERROR", "  **Error** throttled"),
        ("INFO", "  switch e from rt-e-new to rt-e"),
        ("WARNING", REVERT_NOT_COPIED.format("f", "vn1-main-1")),
        ("ERROR", "  **Error** list index out of range"),
        ("INFO", "  spoke gw subnet lumaflow-spoke-hagw -- skipped"),
    ]
    assert_lines_then_report(ST, azure, vn1, logs, expected)
    assert associations(azure, "vn1") == {**on, "a": "vn1-default", "e": "rt-e"}
    assert (SUB, "route_tables.get", (OLD_RG, "rt-e")) in azure.calls


def test_spoke_subnets_without_table_go_to_a_main_table(ST, azure, vnet, logs):
    name = "gw-lumaflow-spoke-gw-x"
    azure.subnets[fakes._key(SUB, RG, VNET)] = {name: fakes.subnet(vnet, name)}
    forward(ST, azure, vnet)
    assert associations(azure) == {name: "vn.1-main-1"}
