"""The controller's topology file: its users, its cloud accounts (each an Azure subscription),
its gateways (each in a VNet of that subscription) and its security domains.

JSON or YAML (one parser reads both); docs/controller-emulator.md documents the format. Every
key is checked: a key the format does not have, a value of the wrong kind or a reference to an
account the file does not have raises `TopologyError` naming the file and the key.
"""

import ipaddress
import uuid
from dataclasses import dataclass

from qn.arm.emulator.topology_file import Json, Source, read

SPOKE = "spoke"
TRANSIT = "transit"
DEFAULT_PEERING_PREFIX = "lumaflow-"
# The private ranges: what a transit reaches for its spokes unless the file says otherwise.
DEFAULT_ROUTES = ("10.0.0.0/8", "172.16.0.0/12", "192.168.0.0/16")

KEYS = {
    "topology": {"users", "accounts", "gateways", "domains", "peering_prefix", "routes"},
    "account": {"subscription", "client_id", "tenant_id"},
    "gateway": {"type", "account", "vnet", "private_ip"},
}


class TopologyError(ValueError):
    """The topology is malformed or inconsistent; the text names the file and the key."""


@dataclass(frozen=True)
class Account:
    name: str
    subscription: str
    client_id: str
    tenant_id: str


@dataclass(frozen=True)
class Gateway:
    name: str
    kind: str  # SPOKE or TRANSIT
    account: Account
    resource_group: str
    vnet: str
    private_ip: str

    @property
    def vnet_id(self) -> str:
        return (
            f"/subscriptions/{self.account.subscription}/resourceGroups/{self.resource_group}"
            f"/providers/Microsoft.Network/virtualNetworks/{self.vnet}"
        )

    @property
    def vpc_id(self) -> str:
        """The network as the controller names it: VNet, resource group, subscription."""
        return f"{self.vnet}:{self.resource_group}:{self.account.subscription}"


@dataclass(frozen=True)
class Topology:
    users: dict[str, str]  # user name: password
    accounts: dict[str, Account]
    gateways: dict[str, Gateway]
    domains: tuple[str, ...]
    peering_prefix: str = DEFAULT_PEERING_PREFIX
    routes: tuple[str, ...] = DEFAULT_ROUTES


def load(source: Source) -> Topology:
    """The topology of a path to a JSON or YAML file, or of the parsed mapping."""
    data, origin = read(source, TopologyError)
    return _Reader(origin).topology(data)


class _Reader:
    def __init__(self, origin: str) -> None:
        self.origin = origin

    def fail(self, place: str, problem: str) -> TopologyError:
        return TopologyError(f"{self.origin}: {place}: {problem}")

    def mapping(self, value: object, place: str, kind: str | None = None) -> Json:
        if value is None:
            return {}
        if not isinstance(value, dict):
            raise self.fail(place or "top level", "expected a mapping")
        if kind is not None:
            unknown = sorted(str(k) for k in value if k not in KEYS[kind])
            if unknown:
                where = f"{place}.{unknown[0]}" if place else unknown[0]
                raise self.fail(
                    where, f"unknown key; a {kind} takes {', '.join(sorted(KEYS[kind]))}"
                )
        return value

    def text(self, value: object, place: str) -> str:
        if not isinstance(value, str) or not value:
            raise self.fail(place, "expected text")
        return value

    def texts(self, value: object, place: str) -> list[str]:
        if not isinstance(value, list):
            raise self.fail(place, "expected a list of text")
        return [self.text(item, f"{place}[{i}]") for i, item in enumerate(value)]

    def topology(self, data: object) -> Topology:
        body = self.mapping(data, "", "topology")
        users = {
            str(name): self.text(password, f"users.{name}")
            for name, password in self.mapping(body.get("users"), "users").items()
        }
        accounts = {
            str(name): self.account(str(name), self.mapping(value, f"accounts.{name}", "account"))
            for name, value in self.mapping(body.get("accounts"), "accounts").items()
        }
        gateways = {
            str(name): self.gateway(
                str(name), self.mapping(value, f"gateways.{name}", "gateway"), accounts
            )
            for name, value in self.mapping(body.get("gateways"), "gateways").items()
        }
        domains = tuple(self.texts(body.get("domains") or [], "domains"))
        prefix = self.text(body.get("peering_prefix", DEFAULT_PEERING_PREFIX), "peering_prefix")
        routes = tuple(self.routes(body.get("routes", list(DEFAULT_ROUTES))))
        return Topology(users, accounts, gateways, domains, prefix, routes)

    def account(self, name: str, body: Json) -> Account:
        place = f"accounts.{name}"
        subscription = self.text(body.get("subscription"), f"{place}.subscription")
        # An application registration of the account's own when the file names none.
        derived = uuid.uuid5(uuid.NAMESPACE_URL, f"ctrlsim/{name}")
        return Account(
            name,
            subscription,
            self.text(body.get("client_id", str(derived)), f"{place}.client_id"),
            self.text(
                body.get("tenant_id", str(uuid.UUID(int=derived.int ^ 1))), f"{place}.tenant_id"
            ),
        )

    def gateway(self, name: str, body: Json, accounts: dict[str, Account]) -> Gateway:
        place = f"gateways.{name}"
        kind = body.get("type")
        if kind not in (SPOKE, TRANSIT):
            raise self.fail(f"{place}.type", f"expected {SPOKE} or {TRANSIT}")
        account = self.text(body.get("account"), f"{place}.account")
        if account not in accounts:
            raise self.fail(f"{place}.account", f"no account {account} in accounts")
        group, _, vnet = self.text(body.get("vnet"), f"{place}.vnet").partition("/")
        if not group or not vnet or "/" in vnet:
            raise self.fail(f"{place}.vnet", "expected <resource group>/<VNet name>")
        address = self.text(body.get("private_ip"), f"{place}.private_ip")
        try:
            ipaddress.IPv4Address(address)
        except ValueError:
            raise self.fail(f"{place}.private_ip", "expected an IPv4 address") from None
        return Gateway(name, kind, accounts[account], group, vnet, address)

    def routes(self, value: object) -> list[str]:
        routes = self.texts(value, "routes")
        for i, route in enumerate(routes):
            try:
                ipaddress.IPv4Network(route)
            except ValueError:
                raise self.fail(f"routes[{i}]", "expected an IPv4 network (10.0.0.0/8)") from None
        return routes
