"""The driver's configuration: one YAML file, checked whole before anything is read from Azure.

The same file is the tool's configuration that `YamlContext` reads (subscriptions and their
credentials, settings, per-VNet main-table prefixes); the driver adds the controller, the
management endpoint, peering and security-domain settings and the VNets to migrate. The schema
below is the one description of its keys: `python -m qn.arm.switch_traffic.config --reference`
prints the key reference of docs/configuration.md from it.
"""

import ipaddress
import os
import re
import sys
import typing
from dataclasses import dataclass, field
from typing import Annotated, Any, Literal
from urllib.parse import urlsplit

import yaml
from pydantic import (
    AfterValidator,
    Field,
    ValidationError,
    ValidationInfo,
    field_validator,
    model_validator,
)
from pydantic.fields import FieldInfo
from pydantic_core import PydanticCustomError

from qn.arm.res.credentials import certificate_problem
from qn.arm.res.errors import ConfigError
from qn.arm.res.YamlContext import PUBLIC_ENDPOINT
from qn.arm.switch_traffic.validation import Section, is_model, problems, unwrap

# -- value types -------------------------------------------------------------------------------


@dataclass(frozen=True)
class Shown:
    """How the key reference names a value type."""

    name: str


def _rule(pattern: str, text: str) -> AfterValidator:
    """Text must match `pattern`; `text` says the rule to the operator."""
    compiled = re.compile(pattern)

    def check(value: str) -> str:
        if not compiled.fullmatch(value):
            raise PydanticCustomError("rule", f"{text}, not {value!r}")
        return value

    return AfterValidator(check)


def _https(value: str) -> str:
    # A controller endpoint over plain HTTP would carry the CID in clear text.
    parts = urlsplit(value)
    if parts.scheme != "https" or not parts.hostname:
        raise PydanticCustomError("https", f"must be an https:// URL, not {value!r}")
    return value


def _network(value: str) -> str:
    try:
        ipaddress.ip_network(value, strict=True)
    except ValueError as error:
        raise PydanticCustomError("network", f"not an address range: {error}") from None
    return value


def _file(value: str) -> str:
    if not os.path.isfile(value):
        raise PydanticCustomError("file", f"no such file: {value!r}")
    return value


def _set_variable(name: str) -> str:
    if not os.environ.get(name):
        raise PydanticCustomError("unset", f"the environment variable {name} is not set")
    return name


HttpsUrl = Annotated[str, AfterValidator(_https), Shown("https:// URL")]
# Opened by the clients as given: relative to the current directory.
CaBundle = Annotated[str, AfterValidator(_file), Shown("file")]
CertificateFile = Annotated[str, AfterValidator(_file), Shown("file")]
Network = Annotated[str, AfterValidator(_network), Shown("address range")]
Text = Annotated[str, _rule(r".*\S.*", "must be non-empty text"), Shown("text")]
# The name of an environment variable that holds a secret: it must be set for the run.
SecretVariable = Annotated[Text, AfterValidator(_set_variable), Shown("text")]
# learn.microsoft.com/azure/azure-resource-manager/management/resource-name-rules
SubscriptionId = Annotated[
    str,
    _rule(
        r"[0-9a-fA-F]{8}-([0-9a-fA-F]{4}-){3}[0-9a-fA-F]{12}",
        "must be a subscription ID (a GUID)",
    ),
    Shown("subscription ID"),
]
VnetName = Annotated[
    str,
    _rule(
        r"[A-Za-z0-9][A-Za-z0-9._-]{0,62}[A-Za-z0-9_]",
        "a VNet name has 2 to 64 letters, digits, '_', '.' or '-', starts with a letter or "
        "digit and ends with one or '_'",
    ),
    Shown("VNet name"),
]
ResourceGroupName = Annotated[
    str,
    _rule(
        r"[-\w.()]{0,89}[-\w()]",
        "a resource group name has 1 to 90 letters, digits, '_', '-', '.', '(' or ')' and does "
        "not end with '.'",
    ),
    Shown("resource group name"),
]


# -- the schema --------------------------------------------------------------------------------


def _context(info: ValidationInfo, key: str) -> Any:
    return (info.context or {}).get(key)


def _controller_needed(info: ValidationInfo) -> str | None:
    """Why the run talks to the controller, if it does."""
    if _context(info, "transit_enabled"):
        return "transit.enabled"
    if _context(info, "domain_enabled"):
        return "security_domain.enabled"
    return None


class Controller(Section):
    api_endpoint_url: HttpsUrl | None = Field(
        None,
        validate_default=True,
        description="the controller's API endpoint (required when the transit attachment or the "
        "security domain is enabled)",
    )
    username: Text | None = Field(
        None, description="the user the tool logs in as; it logs in again when a session expires"
    )
    password_env: SecretVariable | None = Field(
        None, description="the environment variable that holds that user's password"
    )
    CID: Text | None = Field(
        None,
        description="a fixed session identifier instead of a login (it is not renewed when it "
        "expires)",
    )
    ca_bundle: CaBundle | None = Field(
        None, description="a PEM bundle of certificate authorities to trust for the controller"
    )

    @field_validator("api_endpoint_url")
    @classmethod
    def _needed(cls, value: str | None, info: ValidationInfo) -> str | None:
        needed = _controller_needed(info)
        if value is None and needed:
            raise PydanticCustomError("needed", f"required when {needed} is true")
        return value

    @model_validator(mode="after")
    def _signs_in(self, info: ValidationInfo) -> "Controller":
        needed = _controller_needed(info)
        if (self.username is None) != (self.password_env is None):
            raise PydanticCustomError("incomplete", "username and password_env go together")
        if needed and self.CID is None and self.username is None:
            raise PydanticCustomError(
                "needed", f"username and password_env (or a CID) are required when {needed} is true"
            )
        return self


class Credential(Section):
    type: Literal["service_principal", "default", "static_token"] | None = Field(
        None,
        description="`service_principal` (the default when `client_id` is given), `default` "
        "(the azure-identity default chain, the default otherwise) or `static_token` (one "
        "fixed token: emulators only, Azure refuses it)",
    )
    tenant_id: Text | None = Field(None, description="the service principal's tenant")
    client_id: Text | None = Field(None, description="the service principal's application ID")
    client_secret_env: SecretVariable | None = Field(
        None, description="the environment variable that holds the client secret"
    )
    client_secret: Text | None = Field(
        None, description="the client secret itself (not recommended: use `client_secret_env`)"
    )
    certificate_path: CertificateFile | None = Field(
        None,
        description="instead of a secret: the service principal's certificate with its RSA "
        "private key, a PEM or PKCS12 file",
    )
    certificate_password_env: SecretVariable | None = Field(
        None, description="the environment variable that holds the certificate's password"
    )
    send_certificate_chain: bool = Field(
        False,
        description="true: send the certificate chain with each sign-in, for an application "
        "that trusts the certificate's subject name and issuer",
    )
    token: Text | None = Field(None, description="the static token (default `armsim`)")

    def kind(self) -> str:
        return self.type or ("service_principal" if self.client_id else "default")

    @model_validator(mode="after")
    def _complete(self) -> "Credential":
        if self.kind() != "service_principal":
            return self
        missing = [k for k in ("tenant_id", "client_id") if getattr(self, k) is None]
        secret = self.client_secret is not None or self.client_secret_env is not None
        if secret and self.certificate_path is not None:
            raise PydanticCustomError(
                "ambiguous", "a service principal signs in with a secret or a certificate, not both"
            )
        if not secret and self.certificate_path is None:
            missing.append("client_secret_env (or client_secret, or certificate_path)")
        if missing:
            raise PydanticCustomError(
                "incomplete", f"a service principal needs {', '.join(missing)}"
            )
        return self

    @model_validator(mode="after")
    def _certificate_readable(self) -> "Credential":
        if self.certificate_path is None or self.kind() != "service_principal":
            return self
        password_env = self.certificate_password_env
        password = os.environ.get(password_env) if password_env else None
        problem = certificate_problem(self.certificate_path, password)
        if problem:
            raise PydanticCustomError("certificate", f"certificate_path: {problem}")
        return self


class Subscription(Section):
    alias: Text = Field(description="the subscription's Terraform provider alias")
    credential: Credential = Field(
        default_factory=Credential,
        description="how the tool signs in to this subscription; none: the default chain",
    )


class Settings(Section):
    configure_shared_route_table_replication: int = Field(
        0, ge=0, description="above 0: subnets take their staged table from `discovery.json`"
    )


class Peering(Section):
    delete_peering: Literal["all", "gateway"] = Field(
        "gateway",
        description="`all` deletes every eligible peering; `gateway` only those whose remote "
        "end offers gateway transit",
    )
    delete_vnet_lock: bool = Field(
        False, description="true: remove the peered VNet's management lock before deleting"
    )
    controller_prefix: Text | None = Field(
        None,
        description="peerings whose name starts with it were made by the controller and are "
        "left alone",
    )


class Transit(Section):
    enabled: bool = Field(
        False,
        description="attach each spoke gateway to its transit gateway before the subnets move, "
        "the staged route tables as its managed tables",
    )
    gateway: Text | None = Field(
        None,
        description="the transit gateway; default `azu-<region code>-transit-gw` of the VNet's "
        "region; a VNet may name its own",
    )


class SecurityDomain(Section):
    enabled: bool = Field(False, description="attach each spoke gateway to a security domain")
    domain: Text | None = Field(None, description="the domain; a VNet may name its own")


class Vnet(Section):
    subscription: SubscriptionId = Field(
        description="the VNet's subscription; it must be listed under `subscriptions`"
    )
    resource_group: ResourceGroupName = Field(description="the VNet's resource group")
    allow_vnet_cidrs: list[Network] = Field(
        min_length=1, description="the address ranges that may be handed over"
    )
    default_route_table: Text | None = Field(
        None, description="suffix of the VNet's default route table `<vnet>-<suffix>`"
    )
    migrate_non_associated_subnet: bool = Field(
        True, description="false leaves subnets without a route table alone"
    )
    subnet_in_subnet_groups: list[Text] = Field(
        default_factory=list,
        description="subnets switched without their own Terraform association",
    )
    main_table_prefix: Text | None = Field(
        None, description="prefix of the main tables `<prefix>-main-1/2`; default the VNet's name"
    )
    spoke_gw_name: Text | None = Field(
        None,
        description="the VNet's spoke gateway; default the name the controller knows for the "
        "VNet, else `<VNet>-<account>-gw`",
    )
    transit_gw_name: Text | None = Field(
        None, description="the VNet's own transit gateway (default `transit.gateway`)"
    )
    domain: Text | None = Field(None, description="the VNet's own security domain")

    @field_validator("subscription")
    @classmethod
    def _listed(cls, value: str, info: ValidationInfo) -> str:
        if value not in (_context(info, "subscriptions") or ()):
            raise PydanticCustomError("unlisted", f"{value!r} is not under 'subscriptions'")
        return value


class Schema(Section):
    """The configuration file."""

    management_endpoint: HttpsUrl = Field(
        PUBLIC_ENDPOINT, description="the Azure Resource Manager endpoint"
    )
    management_credential_scope: Text | None = Field(
        None, description="the token scope; default `<management_endpoint>/.default`"
    )
    management_ca_bundle: CaBundle | None = Field(
        None, description="a PEM bundle of certificate authorities to trust instead of the system's"
    )
    authority: Text | None = Field(None, description="the identity authority of a national cloud")
    output_dir: Text = Field(
        "output",
        description="Terraform output, `discovery.json` and the default state file; a relative "
        "path is taken from the configuration file's directory",
    )
    controller: Controller = Field(default_factory=Controller, description="the controller")
    subscriptions: dict[SubscriptionId, Subscription] = Field(
        description="every subscription the tool may act in, the hubs' included",
        json_schema_extra={"key": "subscription ID"},
    )
    settings: Settings = Field(default_factory=Settings, description="global settings")
    peering: Peering = Field(default_factory=Peering, description="peering deletion")
    transit: Transit = Field(default_factory=Transit, description="the spoke's transit attachment")
    security_domain: SecurityDomain = Field(
        default_factory=SecurityDomain, description="security-domain attachment"
    )
    vnets: dict[VnetName, Vnet] = Field(
        min_length=1,
        description="the VNets to migrate",
        json_schema_extra={"key": "VNet name"},
    )


# -- what the run works with -------------------------------------------------------------------


@dataclass
class VnetConfig:
    name: str
    subscription: str
    resource_group: str
    alias: str
    allow_vnet_cidrs: list[ipaddress.IPv4Network | ipaddress.IPv6Network]
    default_route_table: str | None = None
    migrate_non_associated_subnet: bool = True
    subnet_in_subnet_groups: list[str] = field(default_factory=list)
    spoke_gw_name: str | None = None
    transit_gw_name: str | None = None
    domain: str | None = None

    @property
    def key(self) -> str:
        """The VNet's key in the state file."""
        return f"{self.subscription}/{self.resource_group}/{self.name}"

    def library_yaml(self) -> dict[str, Any]:
        """The VNet's configuration map as the switch-over operations read it."""
        return {
            "allow_vnet_cidrs": list(self.allow_vnet_cidrs),
            "default_route_table": self.default_route_table,
            "subscriptionId": self.subscription,
            "subscriptionInfo": {"alias": self.alias},
            "migrate_non_associated_subnet": self.migrate_non_associated_subnet,
            "subnet_in_subnet_groups": list(self.subnet_in_subnet_groups),
        }


@dataclass(frozen=True)
class ControllerAccess:
    """The controller's endpoint and how the run signs in to it."""

    endpoint: str
    username: str | None
    password_env: str | None
    cid: str | None
    ca_bundle: str | None


@dataclass
class DriverConfig:
    path: str
    raw: dict[str, Any]
    management_endpoint: str
    api_endpoint_url: str
    cid: str
    controller: "ControllerAccess | None"  # how the run reaches the controller, when it must
    output_dir: str
    delete_peering: str
    delete_vnet_lock: bool
    peering_prefix: str | None
    configure_gw_name: bool
    domain: str | None
    transit_enabled: bool
    transit_gateway: str | None
    vnets: list[VnetConfig]

    def peering_yaml(self) -> dict[str, Any]:
        """The tool's configuration map as peering deletion reads it."""
        return {"delete_peering": self.delete_peering, "delete_vnet_lock": self.delete_vnet_lock}

    def vnet(self, name: str) -> VnetConfig:
        return next(v for v in self.vnets if v.name == name)


def _driver_config(path: str, raw: dict[str, Any], schema: Schema) -> DriverConfig:
    vnets = [
        VnetConfig(
            name=name,
            subscription=vnet.subscription,
            resource_group=vnet.resource_group,
            alias=schema.subscriptions[vnet.subscription].alias,
            allow_vnet_cidrs=[ipaddress.ip_network(c) for c in vnet.allow_vnet_cidrs],
            default_route_table=vnet.default_route_table,
            migrate_non_associated_subnet=vnet.migrate_non_associated_subnet,
            subnet_in_subnet_groups=list(vnet.subnet_in_subnet_groups),
            spoke_gw_name=vnet.spoke_gw_name,
            transit_gw_name=vnet.transit_gw_name,
            domain=vnet.domain,
        )
        for name, vnet in schema.vnets.items()
    ]
    return DriverConfig(
        path=path,
        raw=raw,
        management_endpoint=schema.management_endpoint,
        api_endpoint_url=schema.controller.api_endpoint_url or "",
        cid=schema.controller.CID or "",
        controller=_controller_access(schema),
        # Relative to the file, so that a run from another directory finds the same state file.
        output_dir=os.path.join(os.path.dirname(os.path.abspath(path)), schema.output_dir),
        delete_peering=schema.peering.delete_peering,
        delete_vnet_lock=schema.peering.delete_vnet_lock,
        peering_prefix=schema.peering.controller_prefix,
        configure_gw_name=schema.security_domain.enabled,
        domain=schema.security_domain.domain,
        transit_enabled=schema.transit.enabled,
        transit_gateway=schema.transit.gateway,
        vnets=vnets,
    )


def _controller_access(schema: Schema) -> ControllerAccess | None:
    controller = schema.controller
    if controller.api_endpoint_url is None:
        return None
    return ControllerAccess(
        controller.api_endpoint_url,
        controller.username,
        controller.password_env,
        controller.CID,
        controller.ca_bundle,
    )


# -- reading the file --------------------------------------------------------------------------


def _duplicates(node: yaml.Node, where: str = "") -> list[str]:
    """Keys given twice in one mapping: YAML keeps the last silently, so a second `peering:`
    section would replace the first."""
    found = []
    if isinstance(node, yaml.MappingNode):
        first: dict[str, int] = {}
        for key, value in node.value:
            name = key.value if isinstance(key, yaml.ScalarNode) else None
            path = f"{where}.{name}" if where else str(name)
            line = key.start_mark.line + 1
            if name is not None and name in first:
                found.append(
                    f"{path}: given twice (lines {first[name]} and {line}); the second would "
                    "replace the first"
                )
            elif name is not None:
                first[name] = line
            found += _duplicates(value, path)
    elif isinstance(node, yaml.SequenceNode):
        for index, item in enumerate(node.value):
            found += _duplicates(item, f"{where}[{index}]")
    return found


def _read(path: str) -> tuple[Any, list[str]]:
    """The file's data and its duplicate keys."""
    try:
        with open(path, encoding="utf-8") as handle:
            loader = yaml.SafeLoader(handle)
            try:
                node = loader.get_single_node()
                duplicates = _duplicates(node) if node is not None else []
                return loader.construct_document(node) if node is not None else None, duplicates
            finally:
                loader.dispose()
    except OSError as error:
        raise ConfigError(f"{path}: cannot read: {error.strerror}") from None
    except yaml.YAMLError as error:
        raise ConfigError(f"{path}: not valid YAML: {error}") from None


def _context_of(raw: dict[str, Any]) -> dict[str, Any]:
    """What one part of the file needs to know of another, read leniently: a section of the
    wrong type is reported by its own check."""
    subscriptions = raw.get("subscriptions")
    domain = raw.get("security_domain")
    transit = raw.get("transit")
    return {
        "transit_enabled": isinstance(transit, dict) and transit.get("enabled") is True,
        "subscriptions": set(subscriptions) if isinstance(subscriptions, dict) else set(),
        "domain_enabled": isinstance(domain, dict) and domain.get("enabled") is True,
    }


def load_config(path: str) -> DriverConfig:
    """Reads and checks the configuration; raises ConfigError listing every problem."""
    raw, duplicates = _read(path)
    if not isinstance(raw, dict):
        raise ConfigError(f"{path}: the top level must be a mapping")
    found = [f"{path}: {line}" for line in duplicates]
    try:
        schema = Schema.model_validate(raw, context=_context_of(raw))
    except ValidationError as error:
        found += problems(path, Schema, error)
    if found:
        raise ConfigError("\n".join(found))
    return _driver_config(path, raw, schema)


# -- the key reference -------------------------------------------------------------------------

BEGIN = "<!-- key reference: generated by `python -m qn.arm.switch_traffic.config --reference` -->"
END = "<!-- end of the key reference -->"


def _type_name(annotation: Any) -> str:
    args, origin = typing.get_args(annotation), typing.get_origin(annotation)
    if origin is Annotated:
        shown = [m for m in args[1:] if isinstance(m, Shown)]
        return shown[0].name if shown else _type_name(args[0])
    if origin is Literal:
        return " or ".join(f"`{a}`" for a in args)
    if origin is list:
        return f"list of {_type_name(args[0])}"
    if type(None) in args:
        return " or ".join(_type_name(a) for a in args if a is not type(None))
    return {bool: "true/false", int: "whole number", str: "text"}.get(annotation, "mapping")


def _default(info: FieldInfo) -> str:
    if info.is_required():
        return "required"
    if info.default_factory is not None:
        return (
            "empty" if info.get_default(call_default_factory=True, validated_data={}) == [] else ""
        )
    if info.default is None:
        return "none"
    if isinstance(info.default, bool):
        return str(info.default).lower()
    return f"`{info.default}`"


def _rows(model: type[Section], prefix: str) -> list[str]:
    rows = []
    for name, info in model.model_fields.items():
        key = prefix + (info.alias or name)
        inner = unwrap(info.annotation)
        extra = info.json_schema_extra if isinstance(info.json_schema_extra, dict) else {}
        placeholder = extra.get("key")
        if placeholder:  # a mapping of names to sections
            kind = f"mapping of {placeholder} to its keys"
            rows.append(f"| `{key}` | {kind} | {_default(info)} | {info.description} |")
            rows += _rows(unwrap(typing.get_args(inner)[1]), f"{key}.<{placeholder}>.")
        elif is_model(inner):
            rows.append(f"| `{key}` | mapping | | {info.description} |")
            rows += _rows(inner, f"{key}.")
        else:
            kind = _type_name(info.rebuild_annotation())
            rows.append(f"| `{key}` | {kind} | {_default(info)} | {info.description} |")
    return rows


def reference() -> str:
    """The key reference of docs/configuration.md, from the schema."""
    lines = [BEGIN, "", "| key | value | default | meaning |", "|---|---|---|---|"]
    return "\n".join(lines + _rows(Schema, "") + ["", END]) + "\n"


def main(argv: list[str]) -> int:
    if argv != ["--reference"]:
        print("usage: python -m qn.arm.switch_traffic.config --reference", file=sys.stderr)
        return 2
    sys.stdout.write(reference())
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
