"""The SwitchTraffic class as callers see it: shape, state, constants, collaborator names."""

import inspect

import pytest

import qn.arm.switchlib as switchlib

REGIONS = {
    "eastus": "use",
    "centralus": "usc",
    "westus": "usw",
    "westus2": "usw2",
    "northeurope": "eun",
    "westeurope": "euw",
    "southeastasia": "asse",
    "japaneast": "jae",
    "chinaeast2": "che2",
    "chinanorth2": "chn2",
}


def test_plain_python_class_with_its_constants(ST):
    assert type(ST) is type
    assert ST.__bases__ == (object,)
    assert ST.__module__ == "qn.arm.switchlib"
    assert ST.DryRun is False
    assert ST.VPN == "Vpn" and ST.ER == "ExpressRoute"
    assert list(ST.region.items()) == list(REGIONS.items())


@pytest.mark.parametrize("region", ["EastUS", "eastus2", "", "east us", "westus3"])
def test_region_answers_only_its_ten_exact_keys(ST, region):
    assert region not in ST.region


def test_class_attributes_in_body_order(ST):
    names = [n for n in vars(ST) if not n.startswith("__")]
    assert names[0] == "DryRun" and names[1] == "setDryRun"
    assert names.index("VPN") + 1 == names.index("ER")
    assert names.index("region") > names.index("ER")


def test_set_dry_run_is_sticky_and_silent(ST, logs):
    assert ST.setDryRun() is None
    ST.setDryRun()
    assert ST.DryRun is True
    assert logs.lines() == []


def test_operations_are_classmethods_bound_to_the_calling_class(ST):
    assert isinstance(inspect.getattr_static(ST, "setDryRun"), classmethod)

    class Sub(ST):
        pass

    Sub.setDryRun()
    assert vars(Sub)["DryRun"] is True
    assert ST.DryRun is False


def test_operations_reject_unknown_keywords(ST):
    with pytest.raises(TypeError):
        ST.setDryRun(flag=True)


def test_module_binds_its_collaborators_in_order():
    from qn.arm.commonlib import Common
    from qn.arm.discoverylib import DiscoveryLib
    from qn.arm.lumaflow import Lumaflow
    from qn.arm.res.cloud import ManagementLockClient, NetworkManagementClient, resourcegraph
    from qn.arm.res.Globals import Globals
    from qn.arm.res.VWanMgmt import VWanMgmt
    from qn.arm.res.YamlContext import AzureCredential, YamlContext
    from qn.arm.terraform import Terraform

    expected = [
        ("ipaddress", __import__("ipaddress")),
        ("logging", __import__("logging")),
        ("arg", resourcegraph),
        ("NetworkManagementClient", NetworkManagementClient),
        ("ManagementLockClient", ManagementLockClient),
        ("dl", DiscoveryLib),
        ("common", Common),
        ("tf", Terraform),
        ("lf", Lumaflow),
        ("AzureCredential", AzureCredential),
        ("yctx", YamlContext),
        ("vwm", VWanMgmt),
        ("Globals", Globals),
    ]
    names = [n for n in vars(switchlib) if n in dict(expected)]
    assert names == [n for n, _ in expected]
    for name, value in expected:
        assert getattr(switchlib, name) is value


def test_cloud_clients_are_the_sdk_clients():
    """The bound client names are the SDK's own clients (subclasses that only choose the
    endpoint), and `arg` offers what the library takes from azure.mgmt.resourcegraph."""
    import azure.mgmt.network
    import azure.mgmt.resource.locks
    import azure.mgmt.resourcegraph

    assert issubclass(switchlib.NetworkManagementClient, azure.mgmt.network.NetworkManagementClient)
    assert issubclass(
        switchlib.ManagementLockClient, azure.mgmt.resource.locks.ManagementLockClient
    )
    assert issubclass(
        switchlib.arg.ResourceGraphClient, azure.mgmt.resourcegraph.ResourceGraphClient
    )
    assert switchlib.arg.models is azure.mgmt.resourcegraph.models


def test_collaborators_are_looked_up_at_call_time(ST, monkeypatch):
    import fakes

    vnet = fakes.vnet("s", "rg", "vn1")
    table = fakes.route_table("s", "rg", "p-main-1")
    monkeypatch.setattr(switchlib, "common", fakes.fake_common({}))
    assert ST.isMainRtb(vnet, table) is False
    monkeypatch.setattr(switchlib, "common", fakes.fake_common({"vn1": "p"}))
    assert ST.isMainRtb(vnet, table) is True


def test_logger_is_taken_through_the_bound_logging_name(ST, monkeypatch):
    import fakes

    asked = []

    class Logger:
        def info(self, message):
            asked.append(message)

    class Logging:
        @staticmethod
        def getLogger(name):
            asked.append(name)
            return Logger()

    monkeypatch.setattr(switchlib, "logging", Logging)
    world = fakes.FakeAzure()
    vnet = world.add_vnet(fakes.vnet("s", "rg", "vn1"))
    ST.discoverSubnets(world.network_client("s"), vnet)
    assert asked == ["qn.arm.switchlib", "- Discover subnet to route-table association"]


@pytest.mark.parametrize("operation", ["getResources", "isVnetWithVng", "deleteVnetLock"])
def test_credential_parameters_are_declared_as_azure_credentials(ST, operation):
    function = getattr(ST, operation)
    assert "cred: AzureCredential" in function.__doc__
    assert repr(function).startswith(f"<bound method SwitchTraffic.{operation} of")
