"""The driver refuses a bad configuration before it changes anything."""

import json

import pytest
import yaml

from qn.arm.switch_traffic.cli import main

EXAMPLE = "examples/switch-traffic.yaml"


def load_example():
    with open(EXAMPLE, encoding="utf-8") as handle:
        return yaml.safe_load(handle)


def write(tmp_path, config):
    path = tmp_path / "config.yaml"
    path.write_text(yaml.safe_dump(config) if not isinstance(config, str) else config)
    return str(path)


def broken(change):
    config = load_example()
    change(config)
    return config


@pytest.mark.parametrize(
    "config, key, complaint",
    [
        (broken(lambda c: c.pop("vnets")), "vnets", "missing"),
        (
            broken(lambda c: c["vnets"]["vn-app"].update(subscription="nope")),
            "vnets.vn-app.subscription",
            "'nope' is not under 'subscriptions'",
        ),
        (
            broken(lambda c: c["vnets"]["vn-app"].update(allow_vnet_cidrs=["10.0.0.1/16"])),
            "vnets.vn-app.allow_vnet_cidrs[0]",
            "has host bits set",
        ),
        (
            broken(lambda c: c["vnets"]["vn-app"].pop("resource_group")),
            "vnets.vn-app.resource_group",
            "missing",
        ),
        (
            broken(lambda c: c["peering"].update(delete_vnet_lock="yes")),
            "peering.delete_vnet_lock",
            "must be true or false",
        ),
        (
            broken(lambda c: c["vnets"]["vn-app"].update(migrate_non_associated_subnet=0)),
            "vnets.vn-app.migrate_non_associated_subnet",
            "must be true or false",
        ),
        (
            broken(lambda c: c["vnets"]["vn-app"].pop("spoke_gw_name")),
            "vnets.vn-app.spoke_gw_name",
            "required when security_domain.enabled",
        ),
        (
            broken(
                lambda c: c["subscriptions"]["00000000-0000-0000-0000-0000000000a1"].pop("alias")
            ),
            "subscriptions.00000000-0000-0000-0000-0000000000a1.alias",
            "missing",
        ),
        ("vnets: [unclosed", "not valid YAML", ""),
        ("- a list", "the top level must be a mapping", ""),
    ],
)
def test_bad_configuration_exits_2_naming_file_and_key(tmp_path, capsys, config, key, complaint):
    path = write(tmp_path, config)
    assert main(["--config", path, "--state", str(tmp_path / "state.json")]) == 2
    error = capsys.readouterr().err
    assert f"{path}: {key}" in error
    assert complaint in error
    assert not (tmp_path / "state.json").exists()


def test_every_problem_is_reported_at_once(tmp_path, capsys):
    def two_faults(config):
        config["vnets"]["vn-app"].pop("resource_group")
        config["peering"]["delete_vnet_lock"] = "yes"

    path = write(tmp_path, broken(two_faults))
    assert main(["--config", path]) == 2
    error = capsys.readouterr().err
    assert "vnets.vn-app.resource_group" in error and "peering.delete_vnet_lock" in error


def test_unknown_vnet_on_the_command_line(tmp_path, capsys):
    path = write(tmp_path, load_example())
    assert main(["--config", path, "--vnet", "vn-other"]) == 2
    assert "no VNet named vn-other" in capsys.readouterr().err


def test_missing_configuration_file(tmp_path, capsys):
    missing = str(tmp_path / "absent.yaml")
    assert main(["--config", missing]) == 2
    assert f"{missing}: cannot read" in capsys.readouterr().err


def test_unreadable_state_file_is_refused(tmp_path, capsys):
    path = write(tmp_path, load_example())
    state = tmp_path / "state.json"
    state.write_text(json.dumps({"something": "else"}))
    assert main(["--config", path, "--state", str(state)]) == 2
    assert "not a state file of this tool" in capsys.readouterr().err
