"""The driver's configuration: one YAML file, checked whole before anything is changed.

The same file is the tool's configuration that `YamlContext` reads (subscriptions and their
credentials, settings, per-VNet main-table prefixes); the driver adds the controller, the
management endpoint, peering and security-domain settings and the VNets to migrate. See
docs/switch-traffic.md for a complete example.
"""

import ipaddress
import os
from dataclasses import dataclass, field

import yaml

PUBLIC_CLOUD = "https://management.azure.com"


class ConfigError(ValueError):
    """The configuration is unusable; the text names the file, the key and what is wrong."""


@dataclass
class VnetConfig:
    name: str
    subscription: str
    resource_group: str
    alias: str
    allow_vnet_cidrs: list
    default_route_table: object = None
    migrate_non_associated_subnet: bool = True
    subnet_in_subnet_groups: list = field(default_factory=list)
    spoke_gw_name: object = None
    domain: object = None

    def library_yaml(self):
        """The VNet's configuration map as the switch-over operations read it."""
        return {
            "allow_vnet_cidrs": list(self.allow_vnet_cidrs),
            "default_route_table": self.default_route_table,
            "subscriptionId": self.subscription,
            "subscriptionInfo": {"alias": self.alias},
            "migrate_non_associated_subnet": self.migrate_non_associated_subnet,
            "subnet_in_subnet_groups": list(self.subnet_in_subnet_groups),
        }


@dataclass
class DriverConfig:
    path: str
    raw: dict
    management_endpoint: str
    api_endpoint_url: str
    cid: str
    output_dir: str
    delete_peering: str
    delete_vnet_lock: bool
    peering_prefix: object
    configure_gw_name: bool
    domain: object
    vnets: list

    def peering_yaml(self):
        """The tool's configuration map as peering deletion reads it."""
        return {"delete_peering": self.delete_peering, "delete_vnet_lock": self.delete_vnet_lock}

    def vnet(self, name):
        return next(v for v in self.vnets if v.name == name)


class _Checker:
    """Collects every problem of the file so the operator can mend them in one go."""

    def __init__(self, path):
        self.path = path
        self.problems = []

    def problem(self, key, text):
        self.problems.append(f"{self.path}: {key}: {text}")

    def mapping(self, parent, key, where, required=False):
        value = parent.get(key)
        if value is None:
            if required:
                self.problem(where, "missing (a mapping is required)")
            return {}
        if not isinstance(value, dict):
            self.problem(where, f"must be a mapping, not {type(value).__name__}")
            return {}
        return value

    def text(self, parent, key, where, required=False, default=None):
        value = parent.get(key, default)
        if value is None:
            if required:
                self.problem(where, "missing (text is required)")
            return default
        if not isinstance(value, str) or (required and not value.strip()):
            self.problem(where, f"must be non-empty text, not {value!r}")
            return default
        return value

    def flag(self, parent, key, where, default):
        value = parent.get(key, default)
        if not isinstance(value, bool):
            self.problem(where, f"must be true or false, not {value!r}")
            return default
        return value

    def names(self, parent, key, where):
        value = parent.get(key) or []
        if not isinstance(value, list) or not all(isinstance(v, str) for v in value):
            self.problem(where, "must be a list of names")
            return []
        return value


def _networks(check, values, where):
    if values is None:
        check.problem(where, "missing (a list of address ranges is required)")
        return []
    if not isinstance(values, list):
        check.problem(where, "must be a list of address ranges")
        return []
    networks = []
    for index, value in enumerate(values):
        try:
            networks.append(ipaddress.ip_network(str(value), strict=True))
        except ValueError as error:
            check.problem(f"{where}[{index}]", f"not an address range: {error}")
    return networks


def _vnet(check, name, settings, subscriptions):
    where = f"vnets.{name}"
    if not isinstance(settings, dict):
        check.problem(where, "must be a mapping")
        return None
    subscription = check.text(settings, "subscription", f"{where}.subscription", required=True)
    if subscription is not None and subscription not in subscriptions:
        check.problem(f"{where}.subscription", f"{subscription!r} is not under 'subscriptions'")
    alias = None
    if subscription in subscriptions:
        alias = check.text(
            subscriptions[subscription] or {},
            "alias",
            f"subscriptions.{subscription}.alias",
            required=True,
        )
    default_route_table = settings.get("default_route_table")
    if default_route_table is not None and not isinstance(default_route_table, str):
        check.problem(f"{where}.default_route_table", "must be text or null")
    check.text(settings, "main_table_prefix", f"{where}.main_table_prefix")
    return VnetConfig(
        name=name,
        subscription=subscription,
        resource_group=check.text(
            settings, "resource_group", f"{where}.resource_group", required=True
        ),
        alias=alias,
        allow_vnet_cidrs=_networks(
            check, settings.get("allow_vnet_cidrs"), f"{where}.allow_vnet_cidrs"
        ),
        default_route_table=default_route_table,
        migrate_non_associated_subnet=check.flag(
            settings,
            "migrate_non_associated_subnet",
            f"{where}.migrate_non_associated_subnet",
            True,
        ),
        subnet_in_subnet_groups=check.names(
            settings, "subnet_in_subnet_groups", f"{where}.subnet_in_subnet_groups"
        ),
        spoke_gw_name=check.text(settings, "spoke_gw_name", f"{where}.spoke_gw_name"),
        domain=check.text(settings, "domain", f"{where}.domain"),
    )


def load_config(path):
    """Reads and checks the configuration; raises ConfigError listing every problem."""
    try:
        with open(path, encoding="utf-8") as handle:
            raw = yaml.safe_load(handle)
    except OSError as error:
        raise ConfigError(f"{path}: cannot read: {error.strerror}") from None
    except yaml.YAMLError as error:
        raise ConfigError(f"{path}: not valid YAML: {error}") from None
    if not isinstance(raw, dict):
        raise ConfigError(f"{path}: the top level must be a mapping")

    check = _Checker(path)
    controller = check.mapping(raw, "controller", "controller")
    peering = check.mapping(raw, "peering", "peering")
    domain = check.mapping(raw, "security_domain", "security_domain")
    subscriptions = check.mapping(raw, "subscriptions", "subscriptions", required=True)
    vnets_raw = check.mapping(raw, "vnets", "vnets", required=True)
    if not vnets_raw and "vnets" in raw and isinstance(raw["vnets"], dict):
        check.problem("vnets", "names no VNet to migrate")

    delete_peering = check.text(
        peering, "delete_peering", "peering.delete_peering", default="gateway"
    )
    config = DriverConfig(
        path=path,
        raw=raw,
        management_endpoint=check.text(
            raw, "management_endpoint", "management_endpoint", default=PUBLIC_CLOUD
        ),
        api_endpoint_url=check.text(
            controller, "api_endpoint_url", "controller.api_endpoint_url", default=""
        ),
        cid=check.text(controller, "CID", "controller.CID", default=""),
        output_dir=check.text(raw, "output_dir", "output_dir", default="output"),
        delete_peering=delete_peering,
        delete_vnet_lock=check.flag(peering, "delete_vnet_lock", "peering.delete_vnet_lock", False),
        peering_prefix=check.text(peering, "controller_prefix", "peering.controller_prefix"),
        configure_gw_name=check.flag(domain, "enabled", "security_domain.enabled", False),
        domain=check.text(domain, "domain", "security_domain.domain"),
        vnets=[],
    )
    for name, settings in vnets_raw.items():
        vnet = _vnet(check, str(name), settings, subscriptions)
        if vnet is not None:
            config.vnets.append(vnet)
    if config.configure_gw_name:
        if not config.api_endpoint_url or not config.cid:
            check.problem(
                "controller",
                "api_endpoint_url and CID are required when security_domain.enabled is true",
            )
        for vnet in config.vnets:
            if not vnet.spoke_gw_name:
                check.problem(
                    f"vnets.{vnet.name}.spoke_gw_name",
                    "required when security_domain.enabled is true",
                )
    if check.problems:
        raise ConfigError("\n".join(check.problems))
    # Relative to the file, so that a run from another directory finds the same state file.
    config.output_dir = os.path.join(os.path.dirname(os.path.abspath(path)), config.output_dir)
    return config
