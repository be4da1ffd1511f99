"""The Terraform association file: names, escaping and import blocks parsed back with
python-hcl2, and end to end through the driver on the emulator, the file always naming the
associations that Azure shows and no other."""

import contextlib

import hcl2
import pytest
from hcl2.utils import SerializationOptions

from qn.arm.armsim import Emulator, Fault
from qn.arm.switch_traffic import demo, options
from qn.arm.switch_traffic.cli import main
from qn.arm.terraform import RESOURCE_TYPE, Terraform, hcl_string

VNET = "/subscriptions/s1/resourceGroups/rg-a/providers/Microsoft.Network/virtualNetworks/vn1"
OTHER_RG = VNET.replace("rg-a", "rg-b")
STAGED = 'module.vn1.azurerm_route_table_lumaflow_managed["{}"].id'


def record(vnet_id: str, subnet: str, table_ref: str = STAGED.format("rt-x"), **changed) -> dict:
    vnet = vnet_id.rsplit("/", 1)[-1]
    return {
        "vnet_name": vnet,
        "subnet_id": f"{vnet_id}/subnets/{subnet}",
        "subnet_ref": f"azurerm_subnet.{vnet}_{subnet.replace('.', '_')}.id",
        "route_table_id": "/subscriptions/s1/.../routeTables/rt-x",
        "route_table_ref": table_ref,
        "rname": "ignored",
        "provider": "spokes",
        **changed,
    }


def parsed(text: str) -> dict:
    """{subnet ID: (resource name, its attributes)}, the file read back as Terraform would:
    every import block naming a resource of the file, one association per subnet."""
    tree = hcl2.loads(text, serialization_options=SerializationOptions(strip_string_quotes=True))
    resources = {
        name: attributes
        for block in tree.get("resource", [])
        for kind, named in block.items()
        if kind == RESOURCE_TYPE
        for name, attributes in named.items()
    }
    imported = {
        i["id"]: i["to"].removeprefix(f"${{{RESOURCE_TYPE}.").rstrip("}")
        for i in tree.get("import", [])
    }
    assert sorted(imported.values()) == sorted(resources)  # an import block beside each
    return {subnet: (name, resources[name]) for subnet, name in imported.items()}


def written(tmp_path) -> str:
    path = tmp_path / "subnet-route-table-associations.tf"
    return path.read_text(encoding="utf-8") if path.exists() else ""


@pytest.mark.parametrize(
    "records, subnets, table_refs",
    [
        (  # names Terraform cannot hold apart, and the same VNet name in another group
            [
                record(VNET, "a.b"),
                record(VNET, "a_b"),
                record(VNET, "a-b"),
                record(OTHER_RG, "a.b"),
            ],
            [
                f"{VNET}/subnets/a.b",
                f"{VNET}/subnets/a_b",
                f"{VNET}/subnets/a-b",
                f"{OTHER_RG}/subnets/a.b",
            ],
            ['module.vn1.azurerm_route_table_lumaflow_managed["rt-x"].id'] * 4,
        ),
        (  # a rerun moves the subnet again: its association is replaced, not doubled
            [
                record(VNET, "app"),
                record(VNET, "app", "module.vn1.azurerm_route_table_lumaflow_managed_main[1].id"),
            ],
            [f"{VNET}/subnets/app"],
            ["module.vn1.azurerm_route_table_lumaflow_managed_main[1].id"],
        ),
        (  # template sequences in a table's key are written as text, not evaluated
            [record(VNET, "app", STAGED.format("rt-${x}%{y}"))],
            [f"{VNET}/subnets/app"],
            ['module.vn1.azurerm_route_table_lumaflow_managed["rt-$${x}%%{y}"].id'],
        ),
    ],
)
def test_each_subnet_has_one_parsable_association_with_its_import(
    tmp_path, monkeypatch, records, subnets, table_refs
):
    monkeypatch.setattr(Terraform, "outputDir", str(tmp_path))
    (tmp_path / "subnet-route-table-associations.tf").write_text(
        "# kept by hand\nlocals {\n  x = 1\n}\n"
    )
    for each in records:
        Terraform.createSubnetAssociationTf(each)
    text = written(tmp_path)
    associations = parsed(text)
    assert sorted(associations) == sorted(subnets)
    assert [a["route_table_id"] for _, a in associations.values()] == [
        f"${{{r}}}" for r in table_refs
    ]
    assert all(a["provider"] == "${azurerm.spokes}" for _, a in associations.values())
    assert text.startswith("# kept by hand\nlocals {\n  x = 1\n}\n\n")

    Terraform.remove([s.upper() for s in subnets])  # Azure's IDs know no case
    assert written(tmp_path) == "# kept by hand\nlocals {\n  x = 1\n}\n\n"


@pytest.mark.parametrize(
    "value, literal",
    [
        ('say "hi"', r'"say \"hi\""'),
        ("C:\\dir", r'"C:\\dir"'),
        ("line\nnext\tcol\r\x01", r'"line\nnext\tcol\r\u0001"'),
        ("${var.x} and %{ if y }", '"$${var.x} and %%{ if y }"'),
        ("Zürich", '"Zürich"'),
    ],
)
def test_strings_are_escaped_for_hcl(value, literal):
    assert hcl_string(value) == literal
    tree = hcl2.loads(
        f"x = {literal}\n", serialization_options=SerializationOptions(strip_string_quotes=True)
    )
    if "{" not in value:  # python-hcl2 keeps "$${" as written; Terraform reads "${"
        assert tree["x"] == value


@pytest.mark.parametrize(
    "changed",
    [
        {"provider": "spokes prod"},
        {"subnet_ref": "azurerm_subnet.1vn_app.id"},
        {"route_table_ref": 'module.vn1.x["rt"].id\n}\nresource "x" "y" {'},
        {"route_table_ref": 'module.vn1.x["a"b"].id'},
    ],
)
def test_a_record_terraform_cannot_hold_is_refused_or_reported(tmp_path, monkeypatch, changed):
    monkeypatch.setattr(Terraform, "outputDir", str(tmp_path))
    bad = record(VNET, "app", **changed)
    with pytest.raises(ValueError, match="not a Terraform"):
        Terraform.createSubnetAssociationTf(bad)
    # Held back during a run, the subnet still moves; the driver reports the missing block.
    with Terraform.holding() as held:
        Terraform.createSubnetAssociationTf(bad)
    (problem,) = Terraform.write(held, [bad["subnet_id"]])
    assert problem.startswith("Terraform association of app not written: ")
    assert written(tmp_path) == ""


# -- end to end: the driver on the emulator ---------------------------------------------------

SCALE = 0.001
APP = (
    f"/subscriptions/{demo.SPOKES}/resourceGroups/rg-spokes/providers/Microsoft.Network/"
    "virtualNetworks/vn-app"
)


def on_staged_tables(arm) -> dict:
    """{subnet ID: table name} of the spoke subnets Azure shows on a staged or main table,
    those the configuration keeps out of Terraform left out."""
    shown = {}
    for resource_id, resource in arm.snapshot().items():
        table = (resource.get("properties", {}).get("routeTable") or {}).get("id", "")
        name = table.rsplit("/", 1)[-1]
        if "/subnets/" in resource_id and (name.endswith("-lf") or "-main-" in name):
            if not resource_id.endswith("/subnets/cache"):  # in a subnet group
                shown[resource_id] = name
    return shown


def assert_file_matches_azure(arm, output) -> None:
    associations = parsed(written(output))
    shown = on_staged_tables(arm)
    assert sorted(associations) == sorted(shown)
    for subnet_id, (_, attributes) in associations.items():
        table = shown[subnet_id]
        vnet, main = subnet_id.split("/")[8], table.rsplit("-main-", 1)
        expected = f'module.{vnet}.azurerm_route_table_lumaflow_managed["{table}"].id'
        if len(main) == 2:
            expected = (
                f"module.{vnet}.azurerm_route_table_lumaflow_managed_main[{int(main[1]) - 1}].id"
            )
        assert attributes["route_table_id"] == f"${{{expected}}}"


def test_driver_writes_only_what_azure_shows_and_rewrites_it_on_revert(tmp_path, monkeypatch):
    topology = demo.sample_topology()
    spokes = topology["subscriptions"][demo.SPOKES]["resource_groups"]["rg-spokes"]
    subnets = spokes["virtual_networks"]["vn-app"]["subnets"]
    subnets["a.b"] = {"address_prefix": "10.1.6.0/24", "route_table": "rt-web"}
    subnets["a_b"] = {"address_prefix": "10.1.7.0/24", "route_table": "rt-web"}
    output = tmp_path / "output"
    with Emulator(topology, token=demo.TOKEN, time_scale=SCALE) as arm, options.scaled(SCALE):
        config = demo.demo_config(arm, str(tmp_path))

        def switch(*options: str) -> int:
            return main(["--config", config, "--yes", *options])

        assert switch("--dry-run") == 0
        assert not (output / "subnet-route-table-associations.tf").exists()

        # Azure refuses one subnet: the library stops there, the subnets before it are moved.
        arm.faults.add(Fault(method="PUT", resource="subnets/jobs", status=403))
        assert switch() == 1
        assert_file_matches_azure(arm, output)
        shown = on_staged_tables(arm)
        assert f"{APP}/subnets/a_b" in shown and f"{APP}/subnets/jobs" not in shown

        # Cut off (Ctrl-C) after the next two subnets were written, before any read-back:
        # the next run finds them moved and writes their associations.
        handed_over = []
        create = Terraform.createSubnetAssociationTf

        def interrupted(record: dict) -> None:
            handed_over.append(record)
            if len(handed_over) == 3:
                raise KeyboardInterrupt
            create(record)

        monkeypatch.setattr(Terraform, "createSubnetAssociationTf", interrupted)
        with contextlib.suppress(KeyboardInterrupt):
            switch("--vnet", "vn-app")
        monkeypatch.setattr(Terraform, "createSubnetAssociationTf", create)
        assert len(on_staged_tables(arm)) == len(shown) + 2

        assert switch("--vnet", "vn-app") == 0  # the last pending one
        assert_file_matches_azure(arm, output)
        assert len(parsed(written(output))) == 8  # a.b and a_b apart

        arm.faults.add(Fault(method="PUT", resource="subnets/sql", status=403))
        assert switch("--revert") == 1  # vn-data's subnets stay on their staged tables
        assert_file_matches_azure(arm, output)
        assert on_staged_tables(arm)

        assert switch("--revert") == 0
        assert_file_matches_azure(arm, output)
        assert written(output) == ""
