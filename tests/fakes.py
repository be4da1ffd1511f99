"""In-memory fakes of the Azure management clients and the tool's collaborators.

`FakeAzure` holds the state of several subscriptions and hands out network and lock clients
that act on it the way the SDK clients do where the library can notice: reads return fresh
copies (so a change the library makes in memory reaches "Azure" only through a write), writes
store copies, missing resources raise ResourceNotFoundError, long-running operations return
pollers. Every call is recorded in `calls` as (subscription, operation, args).
"""

import copy
from dataclasses import dataclass, field
from types import SimpleNamespace

from azure.core.exceptions import HttpResponseError, ResourceNotFoundError

NETWORK = "providers/Microsoft.Network"


class Model(SimpleNamespace):
    """An SDK model object: attributes by name, nothing else."""


def rid(sub, rg, kind, name, *children):
    path = f"/subscriptions/{sub}/resourceGroups/{rg}/{NETWORK}/{kind}/{name}"
    for child_kind, child_name in zip(children[::2], children[1::2], strict=True):
        path += f"/{child_kind}/{child_name}"
    return path


def ref(resource_id):
    return Model(id=resource_id) if resource_id is not None else None


def vnet(sub, rg, name, prefixes=("10.0.0.0/16",)):
    return Model(
        id=rid(sub, rg, "virtualNetworks", name),
        name=name,
        address_space=Model(address_prefixes=list(prefixes)),
        virtual_network_peerings=[],
        location="westus",
    )


def subnet(vnet_model, name, route_table=None, delegations=()):
    return Model(
        id=f"{vnet_model.id}/subnets/{name}",
        name=name,
        route_table=ref(route_table.id if hasattr(route_table, "id") else route_table),
        delegations=[Model(service_name=s) for s in delegations],
    )


def route_table(sub, rg, name, tags=None, disable_bgp_route_propagation=False):
    return Model(
        id=rid(sub, rg, "routeTables", name),
        name=name,
        tags=dict(tags) if tags is not None else None,
        subnets=None,
        disable_bgp_route_propagation=disable_bgp_route_propagation,
        routes=[],
    )


def peering(local_vnet, name, remote_vnet_id, **settings):
    values = dict(
        allow_virtual_network_access=True,
        allow_forwarded_traffic=False,
        allow_gateway_transit=False,
        use_remote_gateways=False,
    )
    values.update(settings)
    return Model(
        id=f"{local_vnet.id}/virtualNetworkPeerings/{name}",
        name=name,
        remote_virtual_network=ref(remote_vnet_id),
        **values,
    )


def lock(name, level="CanNotDelete"):
    return Model(name=name, level=level)


def _key(*parts):
    return tuple(str(p).lower() for p in parts)


class Poller:
    def __init__(self, world, label, error=None):
        self._world, self._label, self._error = world, label, error

    def result(self):
        self._world.record("", "wait", (self._label,))
        if self._error is not None:
            raise self._error


@dataclass
class FakeAzure:
    """The cloud: VNets, subnets, route tables, peerings and locks of several subscriptions."""

    vnets: dict = field(default_factory=dict)
    subnets: dict = field(default_factory=dict)  # (sub, rg, vnet) -> {name: subnet}
    route_tables: dict = field(default_factory=dict)  # (sub, rg, name) -> table
    peerings: dict = field(default_factory=dict)  # (sub, rg, vnet) -> {name: peering}
    locks: dict = field(default_factory=dict)  # (sub, rg, vnet) -> [lock]
    calls: list = field(default_factory=list)
    # (operation, resource name) -> exception raised by the call (or by the poller's result())
    failures: dict = field(default_factory=dict)
    poller_failures: dict = field(default_factory=dict)
    clients: list = field(default_factory=list)

    # -- building the world -------------------------------------------------------------------
    def add_vnet(self, model, subnets=(), peerings=()):
        sub, rg = model.id.split("/")[2], model.id.split("/")[4]
        self.vnets[_key(sub, rg, model.name)] = model
        self.subnets[_key(sub, rg, model.name)] = {s.name: s for s in subnets}
        self.peerings[_key(sub, rg, model.name)] = {p.name: p for p in peerings}
        return model

    def add_route_table(self, model):
        sub, rg = model.id.split("/")[2], model.id.split("/")[4]
        self.route_tables[_key(sub, rg, model.name)] = model
        return model

    def add_lock(self, vnet_model, lock_model):
        sub, rg = vnet_model.id.split("/")[2], vnet_model.id.split("/")[4]
        self.locks.setdefault(_key(sub, rg, vnet_model.name), []).append(lock_model)

    # -- reading the world --------------------------------------------------------------------
    def record(self, sub, operation, args):
        self.calls.append((sub, operation, args))

    def operations(self, prefix=""):
        """The recorded operation names, in order, optionally only those starting with prefix."""
        return [c[1] for c in self.calls if c[1].startswith(prefix)]

    def writes(self):
        verbs = ("begin_create_or_update", "begin_delete", "delete_at_resource_level")
        return [c for c in self.calls if c[1].endswith(verbs)]

    def table_of(self, sub, rg, name):
        return self.route_tables[_key(sub, rg, name)]

    def peerings_of(self, sub, rg, vnet_name):
        return self.peerings[_key(sub, rg, vnet_name)]

    # -- clients, in place of the SDK's ---------------------------------------------------------
    def NetworkManagementClient(self, credential, subscription_id):
        client = FakeNetworkClient(self, subscription_id, credential)
        self.clients.append(("network", credential, subscription_id))
        return client

    def ManagementLockClient(self, credential, subscription_id):
        self.clients.append(("lock", credential, subscription_id))
        return FakeLockClient(self, subscription_id)

    def network_client(self, subscription_id):
        return FakeNetworkClient(self, subscription_id, None)

    def fail_if_asked(self, operation, name):
        error = self.failures.get((operation, name))
        if error is not None:
            raise error


def _not_found(kind, name):
    return ResourceNotFoundError(
        message=f"The Resource 'Microsoft.Network/{kind}/{name}' was not found."
    )


class _Group:
    def __init__(self, world, sub):
        self.world, self.sub = world, sub

    def _call(self, operation, *args, name=None):
        """Records the call; fails it when asked, by `name` or else by the resource name."""
        self.world.record(self.sub, f"{self.group}.{operation}", args)
        # The resource's name is the last text argument: a write's body comes after it.
        names = [a for a in args if isinstance(a, str)]
        target = name if name is not None else (names[-1] if names else None)
        self.world.fail_if_asked(f"{self.group}.{operation}", target)

    def _poller(self, operation, name):
        return Poller(
            self.world,
            f"{self.group}.{operation}:{name}",
            self.world.poller_failures.get((f"{self.group}.{operation}", name)),
        )


class _VirtualNetworks(_Group):
    group = "virtual_networks"

    def list_all(self):
        self._call("list_all")
        return iter(
            [copy.deepcopy(v) for k, v in self.world.vnets.items() if k[0] == self.sub.lower()]
        )

    def get(self, rg, name):
        self._call("get", rg, name)
        found = self.world.vnets.get(_key(self.sub, rg, name))
        if found is None:
            raise _not_found("virtualNetworks", name)
        model = copy.deepcopy(found)
        model.virtual_network_peerings = copy.deepcopy(
            list(self.world.peerings.get(_key(self.sub, rg, name), {}).values())
        )
        return model


class _Subnets(_Group):
    group = "subnets"

    def list(self, rg, vnet_name):
        self._call("list", rg, vnet_name)
        return iter(
            copy.deepcopy(list(self.world.subnets.get(_key(self.sub, rg, vnet_name), {}).values()))
        )

    def begin_create_or_update(self, rg, vnet_name, name, body):
        self._call("begin_create_or_update", rg, vnet_name, name, body)
        self.world.subnets.setdefault(_key(self.sub, rg, vnet_name), {})[name] = copy.deepcopy(body)
        return self._poller("begin_create_or_update", name)


class _RouteTables(_Group):
    group = "route_tables"

    def list_all(self):
        self._call("list_all")
        return iter(
            [
                copy.deepcopy(t)
                for k, t in self.world.route_tables.items()
                if k[0] == self.sub.lower()
            ]
        )

    def get(self, rg, name):
        self._call("get", rg, name)
        found = self.world.route_tables.get(_key(self.sub, rg, name))
        if found is None:
            raise _not_found("routeTables", name)
        return copy.deepcopy(found)

    def begin_create_or_update(self, rg, name, body):
        self._call("begin_create_or_update", rg, name, body)
        self.world.route_tables[_key(self.sub, rg, name)] = copy.deepcopy(body)
        return self._poller("begin_create_or_update", name)


class _Peerings(_Group):
    group = "virtual_network_peerings"

    def _of(self, rg, vnet_name):
        return self.world.peerings.setdefault(_key(self.sub, rg, vnet_name), {})

    def list(self, rg, vnet_name):
        self._call("list", rg, vnet_name)
        return iter(copy.deepcopy(list(self._of(rg, vnet_name).values())))

    def get(self, rg, vnet_name, name):
        self._call("get", rg, vnet_name, name)
        found = self._of(rg, vnet_name).get(name)
        if found is None:
            raise _not_found("virtualNetworkPeerings", name)
        return copy.deepcopy(found)

    def begin_create_or_update(self, rg, vnet_name, name, body):
        self._call("begin_create_or_update", rg, vnet_name, name, body, name=name)
        if isinstance(body, dict):
            settings = {k: v for k, v in body.items() if k not in ("id", "name")}
            remote = settings.pop("remote_virtual_network", None) or {}
            body = Model(
                id=rid(self.sub, rg, "virtualNetworks", vnet_name, "virtualNetworkPeerings", name),
                name=name,
                remote_virtual_network=ref(remote.get("id")),
                **settings,
            )
        self._of(rg, vnet_name)[name] = copy.deepcopy(body)
        return self._poller("begin_create_or_update", name)

    def begin_delete(self, rg, vnet_name, name):
        self._call("begin_delete", rg, vnet_name, name)
        if self._of(rg, vnet_name).pop(name, None) is None:
            raise _not_found("virtualNetworkPeerings", name)
        return self._poller("begin_delete", name)


class FakeNetworkClient:
    def __init__(self, world, subscription_id, credential):
        self.subscription_id = subscription_id
        self.credential = credential
        self.virtual_networks = _VirtualNetworks(world, subscription_id)
        self.subnets = _Subnets(world, subscription_id)
        self.route_tables = _RouteTables(world, subscription_id)
        self.virtual_network_peerings = _Peerings(world, subscription_id)


class _Locks(_Group):
    group = "management_locks"

    def list_at_resource_level(self, rg, namespace, parent, kind, name):
        self._call("list_at_resource_level", rg, namespace, parent, kind, name)
        return iter(copy.deepcopy(self.world.locks.get(_key(self.sub, rg, name), [])))

    def delete_at_resource_level(self, rg, namespace, parent, kind, name, lock_name):
        self._call("delete_at_resource_level", rg, namespace, parent, kind, name, lock_name)
        held = self.world.locks.get(_key(self.sub, rg, name), [])
        self.world.locks[_key(self.sub, rg, name)] = [x for x in held if x.name != lock_name]


class FakeLockClient:
    def __init__(self, world, subscription_id):
        self.management_locks = _Locks(world, subscription_id)


def http_error(message, status=409):
    error = HttpResponseError(message=message)
    error.status_code = status
    return error


# -- the tool's collaborators -------------------------------------------------------------------


class FakeCredential:
    """An AzureCredential whose SDK credentials are labelled for the tests to recognise."""

    def __init__(self, subscription_id):
        self.subscription_id = subscription_id

    def getCSC(self):
        return f"csc:{self.subscription_id}"

    def getSPC(self):
        return f"spc:{self.subscription_id}"

    def getSubId(self):
        return self.subscription_id


def fake_yaml_context(subscriptions=(), settings=None):
    """A YamlContext class: credentials for `subscriptions`, global `settings`."""
    known = set(subscriptions)
    values = dict(settings or {})
    log = []

    class FakeYamlContext:
        def generateAzureCredential(self, subscriptionId):
            log.append(("generateAzureCredential", subscriptionId))
            return FakeCredential(subscriptionId) if subscriptionId in known else None

        def getGlobalContext(self, name):
            log.append(("getGlobalContext", name))
            return values[name]

    FakeYamlContext.calls = log
    return FakeYamlContext


class FakeTerraform:
    """Records association records; serves a discovery record."""

    def __init__(self):
        self.records = []
        self.discovery = {}
        self.discovery_reads = 0

    def createSubnetAssociationTf(self, record):
        self.records.append(record)

    def readDiscoveryInfo(self):
        self.discovery_reads += 1
        return self.discovery


def fake_common(prefixes=None):
    """A Common class whose main-table prefix per VNet name comes from `prefixes`."""
    from qn.arm.commonlib import Common

    table = dict(prefixes or {})

    class FakeCommon:
        AZURE_SUBNET = Common.AZURE_SUBNET

        @staticmethod
        def getMainTablePrefix(vnetName):
            return table.get(vnetName)

    return FakeCommon
