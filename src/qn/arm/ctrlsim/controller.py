"""The controller's state and its actions: sessions, spoke attachments, security domains.

Every action takes the request's form fields and answers the controller's JSON: "return" true
with "results", or "return" false with a "reason" (`Refused`). An action holds the state lock
only to read or record; its own time and its Azure calls run outside it, with the gateways it
works on marked busy, so other requests are served meanwhile.
"""

import contextlib
import logging
import secrets
import threading
import time
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from typing import Any

from . import wire
from .azure import AzureNetwork, AzureRefused, RouteTable
from .settings import Settings
from .topology import SPOKE, TRANSIT, Gateway, Topology

log = logging.getLogger("ctrlsim")

Form = dict[str, str]
Results = Any  # what an answer carries under "results"


class Refused(Exception):
    """A refusal in the controller's own words."""

    def __init__(self, reason: str) -> None:
        super().__init__(reason)
        self.reason = reason


@dataclass(frozen=True)
class Attachment:
    transit: str
    route_tables: tuple[RouteTable, ...]


@dataclass
class Session:
    user: str
    expires: float | None  # time.monotonic() deadline; None: never


@dataclass
class ControllerState:
    sessions: dict[str, Session] = field(default_factory=dict)
    attachments: dict[str, Attachment] = field(default_factory=dict)  # spoke name: attachment
    domains: dict[str, list[str]] = field(default_factory=dict)  # domain: attachment names
    busy: set[str] = field(default_factory=set)  # gateways an action works on


class Controller:
    def __init__(self, topology: Topology, settings: Settings, azure: AzureNetwork) -> None:
        self.topology = topology
        self.settings = settings
        self.azure = azure
        self.state = ControllerState(domains={domain: [] for domain in topology.domains})
        self.lock = threading.Lock()
        self.actions: dict[str, Callable[[Form], Results]] = {
            wire.LOGIN: self.login,
            wire.LIST_ACCOUNTS: self.list_accounts,
            wire.LIST_GATEWAY_INFO: self.list_gateway_info,
            wire.ATTACH_SPOKE: self.attach_spoke,
            wire.DETACH_SPOKE: self.detach_spoke,
            wire.ASSOCIATE: self.associate,
            wire.DISASSOCIATE: self.disassociate,
            wire.LIST_DOMAIN_ATTACHMENTS: self.list_domain_attachments,
        }

    def perform(self, form: Form) -> Results:
        """The results of the form's action; Refused when the controller refuses it."""
        action = form.get(wire.ACTION, "")
        perform = self.actions.get(action)
        if perform is None:
            raise Refused(f"Invalid action: {action or '(none)'}.")
        if action != wire.LOGIN:
            self.check_session(form)
        return perform(form)

    # -- sessions -----------------------------------------------------------------------------
    def new_session(self, user: str) -> str:
        lifetime = self.settings.lifetime()
        cid = secrets.token_hex(12)
        expires = None if lifetime is None else time.monotonic() + lifetime
        with self.lock:
            self.state.sessions[cid] = Session(user, expires)
        return cid

    def expire_sessions(self) -> None:
        with self.lock:
            self.state.sessions.clear()

    def check_session(self, form: Form) -> None:
        with self.lock:
            session = self.state.sessions.get(form.get(wire.CID_FIELD, ""))
            if session is None or (
                session.expires is not None and session.expires < time.monotonic()
            ):
                raise Refused(wire.SESSION_EXPIRED)

    def login(self, form: Form) -> Results:
        user = required(form, wire.USERNAME)
        password = required(form, wire.PASSWORD)
        self.take_time("login")
        if self.topology.users.get(user) != password:
            raise Refused("Invalid username or password.")
        log.info("ctrlsim: %s logged in", user)
        return {wire.CID_FIELD: self.new_session(user)}

    # -- listings -----------------------------------------------------------------------------
    def list_accounts(self, form: Form) -> Results:
        self.take_time("list")
        return {
            "account_list": [
                {
                    "account_name": account.name,
                    "cloud_type": "azure",
                    "arm_subscription_id": account.subscription,
                    "arm_ad_client_id": account.client_id,
                    "arm_ad_tenant_id": account.tenant_id,
                }
                for account in self.topology.accounts.values()
            ]
        }

    def list_gateway_info(self, form: Form) -> Results:
        account = form.get(wire.ACCOUNT_FILTER, "")
        if account and account not in self.topology.accounts:
            raise Refused(f"Account {account} does not exist.")
        self.take_time("list")
        with self.lock:
            return [
                self.describe(gateway)
                for gateway in self.topology.gateways.values()
                if not account or gateway.account.name == account
            ]

    def describe(self, gateway: Gateway) -> dict[str, Any]:
        entry: dict[str, Any] = {
            "gw_name": gateway.name,
            "gw_type": gateway.kind,
            "account_name": gateway.account.name,
            "vpc_id": gateway.vpc_id,
            "private_ip": gateway.private_ip,
        }
        if gateway.kind == SPOKE:
            attachment = self.state.attachments.get(gateway.name)
            entry["transit_gw"] = attachment.transit if attachment else ""
            entry["route_tables"] = (
                [t.entry() for t in attachment.route_tables] if attachment else []
            )
            entry["security_domain"] = self.domain_of(gateway.name) or ""
        return entry

    def list_domain_attachments(self, form: Form) -> Results:
        domain = self.domain(form)
        self.take_time("list")
        with self.lock:
            return list(self.state.domains[domain])

    # -- attachments --------------------------------------------------------------------------
    def attach_spoke(self, form: Form) -> Results:
        spoke = self.gateway(required(form, wire.SPOKE_GW), SPOKE)
        transit = self.gateway(required(form, wire.TRANSIT_GW), TRANSIT)
        tables = route_tables(form.get(wire.ROUTE_TABLES, ""), spoke)
        with self.working_on(spoke.name):
            current = self.state.attachments.get(spoke.name)
            if current is not None and current.transit != transit.name:
                raise Refused(
                    f"Spoke gateway {spoke.name} is already attached to transit gateway "
                    f"{current.transit}."
                )
            self.take_time("attach")
            known = current.route_tables if current else ()
            tables = tuple(dict.fromkeys([*known, *tables]))
            self.in_azure(lambda: self.azure.peer(spoke, transit))
            self.in_azure(lambda: self.azure.write_routes(spoke, tables, self.topology.routes))
            with self.lock:
                self.state.attachments[spoke.name] = Attachment(transit.name, tables)
        log.info(
            "ctrlsim: attached %s to %s (%d route tables)", spoke.name, transit.name, len(tables)
        )
        return self.attachment_results(spoke.name, transit.name, tables)

    def detach_spoke(self, form: Form) -> Results:
        spoke = self.gateway(required(form, wire.SPOKE_GW), SPOKE)
        with self.working_on(spoke.name):
            current = self.state.attachments.get(spoke.name)
            if current is None:
                raise Refused(f"Spoke gateway {spoke.name} is not attached to a transit gateway.")
            transit = self.topology.gateways[current.transit]
            self.take_time("detach")
            self.in_azure(
                lambda: self.azure.remove_routes(spoke, current.route_tables, self.topology.routes)
            )
            self.in_azure(lambda: self.azure.unpeer(spoke, transit))
            with self.lock:
                del self.state.attachments[spoke.name]
                for members in self.state.domains.values():
                    if spoke.name in members:
                        members.remove(spoke.name)
        log.info("ctrlsim: detached %s from %s", spoke.name, transit.name)
        return self.attachment_results(spoke.name, transit.name, current.route_tables)

    @staticmethod
    def attachment_results(spoke: str, transit: str, tables: tuple[RouteTable, ...]) -> Results:
        return {
            wire.SPOKE_GW: spoke,
            wire.TRANSIT_GW: transit,
            wire.ROUTE_TABLES: [table.entry() for table in tables],
        }

    # -- security domains ---------------------------------------------------------------------
    def associate(self, form: Form) -> Results:
        domain = self.domain(form)
        name = required(form, wire.ATTACHMENT)
        with self.working_on(name):
            self.attached(name)
            current = self.domain_of(name)
            if current is not None and current != domain:
                raise Refused(
                    f"Attachment {name} is already associated with security domain {current}."
                )
            self.take_time("associate")
            with self.lock:
                if current is None:
                    self.state.domains[domain].append(name)
        log.info("ctrlsim: %s associated with domain %s", name, domain)
        return {wire.DOMAIN: domain, wire.ATTACHMENT: name}

    def disassociate(self, form: Form) -> Results:
        domain = self.domain(form)
        name = required(form, wire.ATTACHMENT)
        with self.working_on(name):
            self.attached(name)
            if name not in self.state.domains[domain]:
                raise Refused(f"Attachment {name} is not associated with security domain {domain}.")
            self.take_time("disassociate")
            with self.lock:
                self.state.domains[domain].remove(name)
        log.info("ctrlsim: %s disassociated from domain %s", name, domain)
        return {wire.DOMAIN: domain, wire.ATTACHMENT: name}

    def domain_of(self, attachment: str) -> str | None:
        return next((d for d, members in self.state.domains.items() if attachment in members), None)

    # -- helpers ------------------------------------------------------------------------------
    def gateway(self, name: str, kind: str) -> Gateway:
        gateway = self.topology.gateways.get(name)
        if gateway is None:
            raise Refused(f"Gateway {name} does not exist.")
        if gateway.kind != kind:
            raise Refused(f"Gateway {name} is not a {kind} gateway.")
        return gateway

    def domain(self, form: Form) -> str:
        domain = required(form, wire.DOMAIN)
        if domain not in self.state.domains:
            raise Refused(f"Security domain {domain} does not exist.")
        return domain

    def attached(self, name: str) -> None:
        if name not in self.state.attachments:
            raise Refused(f"Attachment {name} does not exist.")

    @contextlib.contextmanager
    def working_on(self, name: str) -> Iterator[None]:
        """Marks the gateway busy for the block; an action already working on it refuses."""
        with self.lock:
            if name in self.state.busy:
                raise Refused(f"Gateway {name} {wire.BUSY}")
            self.state.busy.add(name)
        try:
            yield
        finally:
            with self.lock:
                self.state.busy.discard(name)

    def take_time(self, kind: str) -> None:
        seconds = self.settings.duration(kind)
        if seconds > 0:
            time.sleep(seconds)

    @staticmethod
    def in_azure(step: Callable[[], None]) -> None:
        try:
            step()
        except AzureRefused as error:
            raise Refused(str(error)) from error


def required(form: Form, name: str) -> str:
    value = form.get(name, "")
    if not value:
        raise Refused(f"Missing parameter: {name}.")
    return value


def route_tables(text: str, spoke: Gateway) -> tuple[RouteTable, ...]:
    """The managed route tables of a request: "name:resource-group" entries, comma-separated;
    a name alone is in the spoke VNet's resource group."""
    tables = []
    for entry in (part.strip() for part in text.split(",")):
        if not entry:
            continue
        name, _, group = entry.partition(":")
        if not name or ":" in group:
            raise Refused(f"Invalid route table entry '{entry}': expected <name>:<resource group>.")
        tables.append(RouteTable(name, group or spoke.resource_group))
    return tuple(dict.fromkeys(tables))
