"""The SwitchTraffic class as callers see it: shape, state, constants, collaborator names."""

import inspect
import subprocess
import sys

import azure.mgmt.network
import azure.mgmt.resource.locks
import azure.mgmt.resourcegraph
import pytest

import fakes
import qn.arm.switchlib as switchlib
from qn.arm import commonlib, discoverylib, lumaflow, terraform
from qn.arm.res import Globals, VWanMgmt, YamlContext, cloud, resourcegraph

REGIONS = "eastus=use centralus=usc westus=usw westus2=usw2 northeurope=eun westeurope=euw \
southeastasia=asse japaneast=jae chinaeast2=che2 chinanorth2=chn2"


def test_dry_run_is_off_as_the_module_loads():
    """Seen from a fresh interpreter: here a fixture has set the flag before any test looks."""
    probe = "import qn.arm.switchlib as m; print(m.__file__); print(repr(m.SwitchTraffic.DryRun))"
    loaded = subprocess.run(
        [sys.executable, "-c", probe], capture_output=True, text=True, check=True, timeout=120
    )
    assert loaded.stdout.splitlines() == [switchlib.__file__, "False"]


def test_plain_python_class_with_its_constants_in_body_order(ST):
    assert type(ST) is type and ST.__bases__ == (object,)
    assert ST.__module__ == "qn.arm.switchlib"
    assert ST.VPN == "Vpn" and ST.ER == "ExpressRoute"
    assert list(ST.region.items()) == [tuple(p.split("=")) for p in REGIONS.split()]
    assert not any(k in ST.region for k in ("EastUS", "eastus2", "", "east us", "westus3"))
    names = [n for n in vars(ST) if not n.startswith("__")]
    assert names[:2] == ["DryRun", "setDryRun"]
    assert names.index("VPN") + 1 == names.index("ER") < names.index("region")


def test_set_dry_run_is_sticky_silent_and_bound_to_the_calling_class(ST, logs):
    assert isinstance(inspect.getattr_static(ST, "setDryRun"), classmethod)
    Sub = type("Sub", (ST,), {})
    assert Sub.setDryRun() is None
    Sub.setDryRun()
    assert vars(Sub)["DryRun"] is True and ST.DryRun is False
    ST.setDryRun()
    assert ST.DryRun is True
    assert logs.lines() == []
    with pytest.raises(TypeError):
        ST.setDryRun(flag=True)


def test_module_binds_its_collaborators_in_order():
    expected = {
        "ipaddress": __import__("ipaddress"),
        "logging": __import__("logging"),
        "arg": resourcegraph,
        "NetworkManagementClient": cloud.NetworkManagementClient,
        "ManagementLockClient": cloud.ManagementLockClient,
        "dl": discoverylib.DiscoveryLib,
        "common": commonlib.Common,
        "tf": terraform.Terraform,
        "lf": lumaflow.Lumaflow,
        "AzureCredential": YamlContext.AzureCredential,
        "yctx": YamlContext.YamlContext,
        "vwm": VWanMgmt.VWanMgmt,
        "Globals": Globals.Globals,
    }
    assert [n for n in vars(switchlib) if n in expected] == list(expected)
    assert all(getattr(switchlib, name) is value for name, value in expected.items())
    # The bound clients are the SDK's own, subclassed only to choose the endpoint.
    assert issubclass(cloud.NetworkManagementClient, azure.mgmt.network.NetworkManagementClient)
    assert issubclass(cloud.ManagementLockClient, azure.mgmt.resource.locks.ManagementLockClient)
    assert issubclass(
        resourcegraph.ResourceGraphClient, azure.mgmt.resourcegraph.ResourceGraphClient
    )
    assert resourcegraph.models is azure.mgmt.resourcegraph.models


def test_collaborators_and_logger_are_looked_up_at_call_time(ST, monkeypatch):
    vnet = fakes.vnet("s", "rg", "vn1")
    table = fakes.route_table("s", "rg", "p-main-1")
    monkeypatch.setattr(switchlib, "common", fakes.fake_common({}))
    assert ST.isMainRtb(vnet, table) is False
    monkeypatch.setattr(switchlib, "common", fakes.fake_common({"vn1": "p"}))
    assert ST.isMainRtb(vnet, table) is True

    asked = []

    class Logging:
        @staticmethod
        def getLogger(name):
            asked.append(name)
            return Logging

        @staticmethod
        def info(message):
            asked.append(message)

    monkeypatch.setattr(switchlib, "logging", Logging)
    world = fakes.FakeAzure()
    ST.discoverSubnets(world.network_client("s"), world.add_vnet(vnet))
    assert asked == ["qn.arm.switchlib", "- Discover subnet to route-table association"]


@pytest.mark.parametrize("operation", ["getResources", "isVnetWithVng", "deleteVnetLock"])
def test_credential_parameters_are_declared_as_azure_credentials(ST, operation):
    function = getattr(ST, operation)
    assert "cred: AzureCredential" in function.__doc__
    assert repr(function).startswith(f"<bound method SwitchTraffic.{operation} of")
