"""Zero-latency stand-ins for the cloud and the tool's collaborators.

They exist to make the library's own cost visible, so they do as little as a Python callable
can: every answer is built before the clock starts and handed out as it is (no copies, no
bookkeeping). The library changes some of these objects in place (a subnet's route table, a
table's propagation flag); each scenario puts them back between repeats, outside the timing.

Everything here that the library calls derives from `Service`, so that the profile can tell
time spent in these stand-ins from time spent in the library.
"""

import contextlib
import logging

import qn.arm.switchlib as switchlib
from qn.arm.commonlib import Common
from qn.arm.discoverylib import DiscoveryLib

SUB = "00000000-0000-0000-0000-000000000001"
RG = "rg-net"
VNET = "vn-app"
PROVIDER = "providers/Microsoft.Network"


class Model:
    """An SDK model object: named attributes, nothing else."""

    def __init__(self, **attributes):
        self.__dict__.update(attributes)


def resource_id(kind, name, rg=RG, sub=SUB):
    return f"/subscriptions/{sub}/resourceGroups/{rg}/{PROVIDER}/{kind}/{name}"


class Service:
    """Marks the stand-ins whose time counts as the fakes' time in the profile."""


class Poller(Service):
    def result(self):
        return None


DONE = Poller()


class RouteTables(Service):
    def __init__(self, listing=(), by_name=None):
        self.listing = list(listing)
        self.by_name = dict(by_name or {})

    def list_all(self):
        return iter(self.listing)

    def get(self, rg, name):
        return self.by_name[name]

    def begin_create_or_update(self, rg, name, body):
        return DONE


class Subnets(Service):
    def __init__(self, listing=()):
        self.listing = list(listing)

    def list(self, rg, vnet_name):
        return iter(self.listing)

    def begin_create_or_update(self, rg, vnet_name, name, body):
        return DONE


class Peerings(Service):
    def __init__(self, listing=(), by_name=None):
        self.listing = list(listing)
        self.by_name = dict(by_name or {})

    def list(self, rg, vnet_name):
        return iter(self.listing)

    def get(self, rg, vnet_name, name):
        return self.by_name[name]

    def begin_create_or_update(self, rg, vnet_name, name, body):
        return DONE

    def begin_delete(self, rg, vnet_name, name):
        return DONE


class VirtualNetworks(Service):
    def __init__(self, listing=()):
        self.listing = list(listing)

    def list_all(self):
        return iter(self.listing)


class Locks(Service):
    def __init__(self, listing=()):
        self.listing = list(listing)

    def list_at_resource_level(self, rg, namespace, parent, kind, name):
        return iter(self.listing)

    def delete_at_resource_level(self, rg, namespace, parent, kind, name, lock_name):
        return None


class LockClient(Service):
    def __init__(self, locks):
        self.management_locks = locks


class Credential(Service):
    def __init__(self, subscription_id):
        self.subscription_id = subscription_id

    def getCSC(self):
        return self.subscription_id

    def getSPC(self):
        return self.subscription_id

    def getSubId(self):
        return self.subscription_id


class Cloud(Service):
    """The subscriptions a scenario reaches through credentials and clients it builds itself:
    a credential and a network client per subscription, one lock client for all."""

    def __init__(self, network_clients=None, lock_client=None):
        self.network_clients = dict(network_clients or {})
        self.credentials = {sub: Credential(sub) for sub in self.network_clients}
        self.lock_client = lock_client

    def NetworkManagementClient(self, credential, subscription_id):
        return self.network_clients[subscription_id]

    def ManagementLockClient(self, credential, subscription_id):
        return self.lock_client


class NetworkClient(Service):
    def __init__(self, route_tables=None, subnets=None, peerings=None, virtual_networks=None):
        self.route_tables = route_tables or RouteTables()
        self.subnets = subnets or Subnets()
        self.virtual_network_peerings = peerings
        self.virtual_networks = virtual_networks


class FakeDiscoveryLib(Service):
    SUB_I = DiscoveryLib.SUB_I
    RG_I = DiscoveryLib.RG_I
    VNET_I = DiscoveryLib.VNET_I
    PEER_I = DiscoveryLib.PEER_I
    lumaflowSpokeSubnetNames = DiscoveryLib.lumaflowSpokeSubnetNames

    @staticmethod
    def isRouteTableUsedInVnet(routeTable, vnet):
        # The scenarios give a used table a non-empty subnet list and leave the rest at None.
        return routeTable.subnets is not None


class FakeCommon(Service):
    AZURE_SUBNET = Common.AZURE_SUBNET

    @staticmethod
    def getMainTablePrefix(vnetName):
        return None


class FakeTerraform(Service):
    @staticmethod
    def createSubnetAssociationTf(record):
        return None


class FakeYamlContext(Service):
    cloud = Cloud()

    def getGlobalContext(self, name):
        return 0

    def generateAzureCredential(self, subscriptionId):
        return self.cloud.credentials.get(subscriptionId)


class FakeVWanMgmt(Service):
    @staticmethod
    def getVHubNameFromPeering(remote_vnet_id):
        return None


# The library modules the stand-ins are installed in: the one under test, and a baseline build
# when one is compared with it.
MODULES = []


def use_cloud(cloud):
    """Makes `cloud` the one the library's credentials and client names lead to."""
    FakeYamlContext.cloud = cloud
    for module in MODULES:
        module.NetworkManagementClient = cloud.NetworkManagementClient
        module.ManagementLockClient = cloud.ManagementLockClient


class DropHandler(logging.Handler):
    """Takes every record the library logs and throws it away."""

    def emit(self, record):
        return None


LOGGER = logging.getLogger("qn.arm.switchlib")


@contextlib.contextmanager
def logger_level(level):
    """The library's logger at another level for a while: WARNING turns its INFO records off,
    which sizes what building and handing out the records costs."""
    before = LOGGER.level
    LOGGER.setLevel(level)
    try:
        yield
    finally:
        LOGGER.setLevel(before)


def install(module=switchlib):
    """Points the library's collaborator names at the stand-ins; logs at INFO into the void."""
    MODULES.append(module)
    module.dl = FakeDiscoveryLib
    module.common = FakeCommon
    module.tf = FakeTerraform
    module.yctx = FakeYamlContext
    module.vwm = FakeVWanMgmt
    LOGGER.handlers[:] = [DropHandler()]
    LOGGER.setLevel(logging.INFO)
    LOGGER.propagate = False
