"""Subnet switch-over: every subnet to its staged route table, and back on revert."""

import pytest
from azure.core.exceptions import HttpResponseError

import fakes

SUB, RG, OLD_RG = "sub-1", "rg-net", "rg-old"
VNET = "vn.1"
REPORT = "- Discover subnet to route-table association"

FORWARD_MAP = {"rt-app": "rt-app-new", "rt-db": "rt-db-new"}
REVERT_MAP = {"rt-app-new": "rt-app", "rt-db-new": "rt-db"}

TABLES = [
    (RG, "rt-app"),
    (OLD_RG, "rt-db"),
    (RG, "rt-spoke"),
    (RG, "rt-unknown"),
    (RG, "vn.1-default"),
    (RG, "rt-app-new"),
    (RG, "rt-db-new"),
    (RG, "vn.1-main-1"),
    (RG, "vn.1-main-2"),
]

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

FORWARD_LINES = [
    ("INFO", "- Switch subnet to route-table association"),
    ("INFO", "  switch app.a from rt-app to rt-app-new"),
    ("INFO", "  associate plain to vn.1-main-1"),
    ("INFO", "  found Azure GatewaySubnet -- skipped "),
    ("INFO", "  associate dflt to vn.1-main-2"),
    ("INFO", "  switch db from rt-db to rt-db-new"),
    ("INFO", "  files delegated to Microsoft.Netapp/volumes -- skipped"),
    ("INFO", "  spoke gw subnet x-lumaflow-spoke-gw -- skipped"),
    ("INFO", "  associate grouped to vn.1-main-1"),
    ("WARNING", "  **Alert** other associated to rt-unknown not copied -- skipped"),
    ("INFO", "  associate web to vn.1-main-2"),
]

AFTER_FORWARD = dict(
    BEFORE,
    **{
        "app.a": "rt-app-new",
        "plain": "vn.1-main-1",
        "dflt": "vn.1-main-2",
        "db": "rt-db-new",
        "grouped": "vn.1-main-1",
        "web": "vn.1-main-2",
    },
)

REVERT_LINES = [
    ("INFO", "- Switch subnet to route-table association"),
    ("INFO", "  switch app.a from rt-app-new to rt-app"),
    ("INFO", "  re-associate plain from vn.1-main-1 to vn.1-default"),
    ("INFO", "  found Azure GatewaySubnet -- skipped "),
    ("INFO", "  re-associate dflt from vn.1-main-2 to vn.1-default"),
    ("INFO", "  switch db from rt-db-new to rt-db"),
    ("INFO", "  files delegated to Microsoft.Netapp/volumes -- skipped"),
    ("INFO", "  spoke gw subnet x-lumaflow-spoke-gw -- skipped"),
    ("INFO", "  re-associate grouped from vn.1-main-1 to vn.1-default"),
    (
        "WARNING",
        "  **Alert** other is using a route table rt-unknown that has not been copied -- skipped",
    ),
    ("INFO", "  re-associate web from vn.1-main-2 to vn.1-default"),
]

AFTER_REVERT = dict(
    BEFORE,
    **{"plain": "vn.1-default", "grouped": "vn.1-default", "web": "vn.1-default"},
)

SWITCHED = ["app.a", "plain", "dflt", "db", "grouped", "web"]


def config(**changes):
    yaml = {
        "default_route_table": "default",
        "subscriptionId": SUB,
        "subscriptionInfo": {"alias": "prod"},
        "migrate_non_associated_subnet": True,
        "subnet_in_subnet_groups": ["grouped"],
    }
    yaml.update(changes)
    return yaml


@pytest.fixture
def vnet(azure, terraform, use_yaml_context, use_prefixes):
    use_prefixes()
    use_yaml_context(settings={"configure_shared_route_table_replication": 0})
    model = fakes.vnet(SUB, RG, VNET)
    tables = {name: azure.add_route_table(fakes.route_table(SUB, rg, name)) for rg, name in TABLES}
    azure.add_vnet(
        model,
        subnets=[
            fakes.subnet(model, name, route_table=tables.get(table), delegations=delegations)
            for name, table, delegations in SUBNETS
        ],
    )
    return model


def forward(ST, azure, vnet, yaml=None, mapping=None):
    mapping = dict(FORWARD_MAP) if mapping is None else mapping
    return ST.updateSubnetAssociation(
        yaml or config(), False, azure.network_client(SUB), vnet, mapping, {}
    )


def org_info(azure, *names):
    rgs = dict((name, rg) for rg, name in TABLES)
    return {name: azure.table_of(SUB, rgs[name], name) for name in names}


def revert(ST, azure, vnet, yaml=None, mapping=None, info=None):
    return ST.updateSubnetAssociation(
        yaml=yaml or config(),
        revert=True,
        network_client=azure.network_client(SUB),
        vnet=vnet,
        rtb_target_rtb_map=dict(REVERT_MAP) if mapping is None else mapping,
        orgRouteTableInfo=org_info(azure, "rt-app", "rt-db") if info is None else info,
    )


def associations(azure, vnet_name=VNET):
    subnets = azure.subnets[fakes._key(SUB, RG, vnet_name)].values()
    return {
        s.name: s.route_table.id.split("/")[-1] if s.route_table is not None else None
        for s in subnets
    }


def item_lines(logs):
    """The operation's own lines, without the final report."""
    lines = logs.lines()
    return lines[: lines.index(("INFO", REPORT))] if ("INFO", REPORT) in lines else lines


def written(azure):
    """(operation, subnet name) of every write and wait, in order."""
    return [
        (op, args[2] if op.startswith("subnets.") else args[0].split(":")[-1])
        for _, op, args in azure.calls
        if op in ("subnets.begin_create_or_update", "wait")
    ]


def record(subnet, table, ref):
    table_rg = dict((name, rg) for rg, name in TABLES).get(table, RG)
    resource = f"vn_1_{subnet.replace('.', '_')}"
    return {
        "vnet_name": VNET,
        "subnet_id": f"{fakes.rid(SUB, RG, 'virtualNetworks', VNET)}/subnets/{subnet}",
        "subnet_ref": f"azurerm_subnet.{resource}.id",
        "route_table_id": fakes.rid(SUB, table_rg, "routeTables", table),
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


def report_lines(state):
    skipped = {
        "GatewaySubnet": "  found Azure GatewaySubnet -- skipped ",
        "files": "  files delegated to Microsoft.Netapp/volumes -- skipped",
    }
    return [("INFO", REPORT)] + [
        (
            "INFO",
            skipped.get(name)
            or (
                f"  subnet {name} is associated to {table}"
                if table
                else f"  subnet {name} has no route table"
            ),
        )
        for name, table in state.items()
    ]


def test_forward_then_revert_over_a_mixed_vnet(ST, azure, vnet, terraform, logs):
    assert forward(ST, azure, vnet) is None
    assert terraform.records == FORWARD_RECORDS
    assert associations(azure) == AFTER_FORWARD
    assert written(azure) == [
        (op, name) for name in SWITCHED for op in ("subnets.begin_create_or_update", "wait")
    ]
    assert all(
        args[:2] == (RG, VNET)
        for _, op, args in azure.calls
        if op == "subnets.begin_create_or_update"
    )
    assert logs.lines() == FORWARD_LINES + report_lines(AFTER_FORWARD)

    logs.clear()
    azure.calls.clear()
    assert revert(ST, azure, vnet) is None
    assert terraform.records == FORWARD_RECORDS  # the revert writes no Terraform
    assert associations(azure) == AFTER_REVERT
    assert logs.lines() == REVERT_LINES + report_lines(AFTER_REVERT)
    assert written(azure) == [
        (op, name) for name in SWITCHED for op in ("subnets.begin_create_or_update", "wait")
    ]
    # the old table is read from its own group; the subnet is still written into the VNet's
    assert (SUB, "route_tables.get", (OLD_RG, "rt-db")) in azure.calls
    db_write = [a for _, op, a in azure.calls if op.startswith("subnets.begin") and a[2] == "db"]
    assert db_write[0][:2] == (RG, VNET)


def test_second_runs_leave_everything_unchanged(ST, azure, vnet, terraform, logs):
    forward(ST, azure, vnet)
    logs.clear()
    azure.calls.clear()
    forward(ST, azure, vnet)
    assert written(azure) == [] and len(terraform.records) == len(FORWARD_RECORDS)
    assert associations(azure) == AFTER_FORWARD
    assert [m for m in logs.messages("WARNING")] == [
        f"  **Alert** {name} associated to {AFTER_FORWARD[name]} not copied -- skipped"
        for name in ["app.a", "plain", "dflt", "db", "grouped", "other", "web"]
    ]

    revert(ST, azure, vnet)
    logs.clear()
    azure.calls.clear()
    revert(ST, azure, vnet)
    assert written(azure) == []
    assert associations(azure) == AFTER_REVERT
    assert logs.messages("WARNING") == [
        f"  **Alert** {name} is using a route table {AFTER_REVERT[name]} "
        "that has not been copied -- skipped"
        for name in ["app.a", "plain", "dflt", "db", "grouped", "other", "web"]
    ]


@pytest.mark.parametrize("direction", ["forward", "revert"])
def test_dry_run_reads_and_logs_only(ST, azure, vnet, terraform, logs, direction):
    if direction == "revert":
        forward(ST, azure, vnet)
        terraform.records.clear()
    logs.clear()
    azure.calls.clear()
    ST.setDryRun()
    run, lines, records, state = {
        "forward": (forward, FORWARD_LINES, FORWARD_RECORDS, BEFORE),
        "revert": (revert, REVERT_LINES, [], AFTER_FORWARD),
    }[direction]
    assert run(ST, azure, vnet) is None
    assert azure.writes() == [] and "wait" not in azure.operations()
    assert terraform.records == records
    assert logs.lines() == lines + report_lines(state)


@pytest.mark.parametrize(
    "revert_value, first_line",
    [
        (False, "  associate plain to vn.1-main-1"),
        (0, "  associate plain to vn.1-main-1"),
        (True, "  **Alert** Subnet plain without route table detected during revert traffic"),
        (None, "  **Alert** Subnet plain without route table detected during revert traffic"),
        ("no", "  **Alert** Subnet plain without route table detected during revert traffic"),
    ],
)
def test_direction_is_forward_only_when_revert_equals_false(
    ST, azure, vnet, logs, revert_value, first_line
):
    azure.subnets[fakes._key(SUB, RG, VNET)] = {"plain": fakes.subnet(vnet, "plain")}
    ST.updateSubnetAssociation(
        config(), revert_value, azure.network_client(SUB), vnet, dict(FORWARD_MAP), {}
    )
    assert logs.messages()[1].startswith(first_line)


def test_empty_vnet_reads_the_default_table_and_reports(ST, azure, vnet, terraform, logs):
    azure.subnets[fakes._key(SUB, RG, VNET)] = {}
    forward(ST, azure, vnet)
    assert logs.messages() == ["- Switch subnet to route-table association", REPORT]
    assert azure.operations() == ["subnets.list", "route_tables.get", "subnets.list"]
    assert terraform.records == []


# -- forward failures and settings -----------------------------------------------------------


@pytest.mark.parametrize("direction", ["forward", "revert"])
def test_missing_default_table_is_an_alert_and_the_run_goes_on(ST, azure, vnet, logs, direction):
    yaml = config(default_route_table="gone")
    if direction == "revert":
        forward(ST, azure, vnet)
        logs.clear()
        revert(ST, azure, vnet, yaml=yaml)
        assert "  re-associate plain from vn.1-main-1 to None" in logs.messages()
        assert associations(azure)["plain"] is None
        assert associations(azure)["app.a"] == "rt-app"
    else:
        forward(ST, azure, vnet, yaml=yaml)
        # a subnet on another table than the configured default is its own table's business
        assert (
            "WARNING",
            "  **Alert** dflt associated to vn.1-default not copied -- skipped",
        ) in logs.lines()
        assert associations(azure)["plain"] == "vn.1-main-1"
    assert logs.lines()[1:3] == [
        ("INFO", "  **Alert** vn.1-gone not found"),
        (
            "DEBUG",
            "  **Alert** The Resource 'Microsoft.Network/routeTables/vn.1-gone' was not found.",
        ),
    ]


def test_no_default_table_configured_sends_default_subnets_to_their_own_branch(
    ST, azure, vnet, logs
):
    forward(ST, azure, vnet, yaml=config(default_route_table=None))
    assert ("route_tables.get", (RG, "vn.1-None")) not in [(c[1], c[2]) for c in azure.calls]
    assert "  **Alert** dflt associated to vn.1-default not copied -- skipped" in logs.messages()
    assert associations(azure)["web"] == "vn.1-main-1"


def test_failed_main_table_fetch_ends_the_run_without_report(ST, azure, vnet, terraform, logs):
    azure.failures[("route_tables.get", "vn.1-main-2")] = fakes.http_error("throttled", 429)
    assert forward(ST, azure, vnet) is None
    assert logs.lines() == FORWARD_LINES[:3] + [
        ("INFO", "  found Azure GatewaySubnet -- skipped "),
        ("ERROR", "  **Error** throttled"),
    ]
    assert associations(azure) == dict(BEFORE, **{"app.a": "rt-app-new", "plain": "vn.1-main-1"})
    assert azure.operations("subnets.list") == ["subnets.list"]
    assert terraform.records == FORWARD_RECORDS[:2]


@pytest.mark.parametrize(
    "migrate, moved", [(False, False), (0, True), (None, True), (True, True), ("no", True)]
)
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


@pytest.mark.parametrize(
    "groups",
    [["grouped"], ("grouped",), {"grouped"}, {"grouped": 1}, ["grouped", 5], "grouped-and-more"],
)
def test_grouped_subnets_are_switched_without_association(ST, azure, vnet, terraform, groups):
    forward(ST, azure, vnet, yaml=config(subnet_in_subnet_groups=groups))
    assert "grouped" not in [r["subnet_ref"].split("_")[-1][:-3] for r in terraform.records]
    assert len(terraform.records) == len(FORWARD_RECORDS)
    assert associations(azure)["grouped"] == "vn.1-main-1"


@pytest.mark.parametrize(
    "missing",
    [
        "default_route_table",
        "subscriptionId",
        "subscriptionInfo",
        "migrate_non_associated_subnet",
        "subnet_in_subnet_groups",
    ],
)
def test_missing_configuration_key_fails_the_run(ST, azure, vnet, missing):
    yaml = config()
    del yaml[missing]
    with pytest.raises(KeyError, match=missing):
        forward(ST, azure, vnet, yaml=yaml)


def test_missing_provider_alias_fails_the_run(ST, azure, vnet):
    with pytest.raises(KeyError, match="alias"):
        forward(ST, azure, vnet, yaml=config(subscriptionInfo={}))


def test_failed_target_fetch_fails_the_run(ST, azure, vnet):
    azure.failures[("route_tables.get", "rt-db-new")] = fakes.http_error("denied", 403)
    with pytest.raises(HttpResponseError, match="denied"):
        forward(ST, azure, vnet)
    assert associations(azure)["dflt"] == "vn.1-main-2"
    assert associations(azure)["web"] is None


@pytest.mark.parametrize("where", ["failures", "poller_failures"])
@pytest.mark.parametrize("direction", ["forward", "revert"])
def test_failed_subnet_write_fails_the_run(ST, azure, vnet, where, direction):
    if direction == "revert":
        forward(ST, azure, vnet)
    getattr(azure, where)[("subnets.begin_create_or_update", "dflt")] = fakes.http_error("busy")
    with pytest.raises(HttpResponseError, match="busy"):
        (forward if direction == "forward" else revert)(ST, azure, vnet)
    assert azure.operations("subnets.list") == ["subnets.list"] * (1 + (direction == "revert") * 2)
    expected = AFTER_FORWARD if direction == "forward" else AFTER_REVERT
    start = BEFORE if direction == "forward" else AFTER_FORWARD
    assert associations(azure)["plain"] == expected["plain"]
    assert associations(azure)["db"] == start["db"]


# -- shared route-table replication ------------------------------------------------------------


def test_shared_replication_picks_the_listed_table(
    ST, azure, vnet, terraform, use_yaml_context, logs
):
    context = use_yaml_context(settings={"configure_shared_route_table_replication": 2})
    azure.add_route_table(fakes.route_table(SUB, RG, "rt-shared"))
    terraform.discovery = {
        "rtbSubnetGwGroupInfos": {
            vnet.id: {
                "rt-app": [
                    {"subnetId": "app", "rtbName": "wrong"},
                    {"subnetId": "app.a", "rtbName": "rt-shared"},
                    {"subnetId": "app.a", "rtbName": "later"},
                ],
                "rt-db": [],
            }
        }
    }
    forward(ST, azure, vnet)
    assert "  switch app.a from rt-app to rt-shared" in logs.messages()
    assert associations(azure)["app.a"] == "rt-shared"
    assert associations(azure)["db"] == "rt-db-new"
    assert terraform.records[0] == record("app.a", "rt-shared", staged_ref("rt-shared"))
    assert terraform.discovery_reads == 2
    assert (
        context.calls.count(("getGlobalContext", "configure_shared_route_table_replication")) == 2
    )


def test_shared_replication_without_the_vnet_skips_its_subnets(
    ST, azure, vnet, terraform, use_yaml_context, logs
):
    use_yaml_context(settings={"configure_shared_route_table_replication": 1})
    terraform.discovery = {"rtbSubnetGwGroupInfos": {}}
    forward(ST, azure, vnet)
    assert logs.lines("ERROR") == [
        ("ERROR", f"  fail to reassociate {name} - no {vnet} info found in discovery.json")
        for name in ("app.a", "db")
    ]
    assert associations(azure)["app.a"] == "rt-app"
    assert associations(azure)["plain"] == "vn.1-main-1"


def test_shared_replication_without_the_table_fails_the_run(
    ST, azure, vnet, terraform, use_yaml_context
):
    use_yaml_context(settings={"configure_shared_route_table_replication": 1})
    terraform.discovery = {"rtbSubnetGwGroupInfos": {vnet.id: {}}}
    with pytest.raises(KeyError, match="rt-app"):
        forward(ST, azure, vnet)


# -- revert edge cases ---------------------------------------------------------------------------


@pytest.fixture
def reverted_world(azure, terraform, use_prefixes):
    """A VNet whose main tables are prefixed p; the staged tables of a past forward run."""
    use_prefixes({"vn1": "p"})
    model = fakes.vnet(SUB, RG, "vn1")
    for rg, name in [(RG, "vn1-default"), (RG, "rt-d"), (OLD_RG, "rt-e")]:
        azure.add_route_table(fakes.route_table(SUB, rg, name))
    on = {
        "a": "p-main-9",
        "b": None,
        "c": "rt-c-new",
        "d": "rt-d-new",
        "e": "rt-e-new",
        "f": "vn1-main-1",
        "g": "rt-g-new",
        "lumaflow-spoke-hagw": "rt-e-new",
    }
    azure.add_vnet(
        model,
        subnets=[
            fakes.subnet(
                model, name, route_table=table and fakes.rid(SUB, RG, "routeTables", table)
            )
            for name, table in on.items()
        ],
    )
    return model


def test_revert_skips_only_the_subnets_it_cannot_resolve(ST, azure, reverted_world, logs):
    azure.failures[("route_tables.get", "rt-d")] = fakes.http_error("throttled", 429)
    mapping = {"rt-c-new": "rt-c", "rt-d-new": "rt-d", "rt-e-new": "rt-e", "rt-g-new": "rt-g"}
    info = {
        "rt-d": azure.table_of(SUB, RG, "rt-d"),
        "rt-e": azure.table_of(SUB, OLD_RG, "rt-e"),
        "rt-g": fakes.Model(id="rt-g"),
    }
    ST.updateSubnetAssociation(
        config(), True, azure.network_client(SUB), reverted_world, mapping, info
    )
    assert item_lines(logs) == [
        ("INFO", "- Switch subnet to route-table association"),
        ("INFO", "  re-associate a from p-main-9 to vn1-default"),
        (
            "WARNING",
            "  **Alert** Subnet b without route table detected during revert traffic -- skipped",
        ),
        ("WARNING", "  **Alert** rt-c-new region info not found -- skipped"),
        ("ERROR", "  **Error** throttled"),
        ("INFO", "  switch e from rt-e-new to rt-e"),
        (
            "WARNING",
            "  **Alert** f is using a route table vn1-main-1 that has not been copied -- skipped",
        ),
        ("ERROR", "  **Error** list index out of range"),
        ("INFO", "  spoke gw subnet lumaflow-spoke-hagw -- skipped"),
    ]
    assert associations(azure, "vn1") == {
        "a": "vn1-default",
        "b": None,
        "c": "rt-c-new",
        "d": "rt-d-new",
        "e": "rt-e",
        "f": "vn1-main-1",
        "g": "rt-g-new",
        "lumaflow-spoke-hagw": "rt-e-new",
    }
    assert (SUB, "route_tables.get", (OLD_RG, "rt-e")) in azure.calls
    assert logs.messages()[len(item_lines(logs))] == REPORT


def test_spoke_subnets_without_table_go_to_a_main_table(ST, azure, vnet, logs):
    azure.subnets[fakes._key(SUB, RG, VNET)] = {
        "gw-lumaflow-spoke-gw-x": fakes.subnet(vnet, "gw-lumaflow-spoke-gw-x")
    }
    forward(ST, azure, vnet)
    assert associations(azure) == {"gw-lumaflow-spoke-gw-x": "vn.1-main-1"}
