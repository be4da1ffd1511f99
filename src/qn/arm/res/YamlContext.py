"""The tool's configuration context and its per-subscription credentials.

The configuration is one YAML file. Its path comes from the environment variable
QN_ARM_CONFIG; without it, "qn-arm.yaml" in the current directory is read when it exists, and
an empty configuration is used when it does not. See docs/configuration.md for the layout.
"""

import os
import threading

import yaml

CONFIG_ENV = "QN_ARM_CONFIG"
DEFAULT_CONFIG_PATH = "qn-arm.yaml"

# Global settings and their values when the configuration does not name them.
GLOBAL_DEFAULTS = {
    "configure_shared_route_table_replication": 0,
}


class ConfigurationError(ValueError):
    """The configuration file is unreadable or malformed; the text names file and key."""


def config_path():
    return os.environ.get(CONFIG_ENV) or DEFAULT_CONFIG_PATH


_cache_lock = threading.Lock()
_cache = {}  # path -> (mtime_ns, size, parsed configuration)


def _load(path):
    explicit = bool(os.environ.get(CONFIG_ENV))
    try:
        stat = os.stat(path)
    except FileNotFoundError:
        if explicit:
            raise ConfigurationError(
                f"{path}: configuration file not found ({CONFIG_ENV})"
            ) from None
        return {}
    key = (stat.st_mtime_ns, stat.st_size)
    with _cache_lock:
        cached = _cache.get(path)
        if cached is not None and cached[0] == key:
            return cached[1]
    try:
        with open(path, encoding="utf-8") as handle:
            loaded = yaml.safe_load(handle)
    except yaml.YAMLError as error:
        raise ConfigurationError(f"{path}: not valid YAML: {error}") from error
    if loaded is None:
        loaded = {}
    if not isinstance(loaded, dict):
        raise ConfigurationError(f"{path}: the top level must be a mapping")
    with _cache_lock:
        _cache[path] = (key, loaded)
    return loaded


def _section(config, path, name):
    value = config.get(name) or {}
    if not isinstance(value, dict):
        raise ConfigurationError(f"{path}: '{name}' must be a mapping")
    return value


class AzureCredential:
    """The tool's credential record for one subscription."""

    def __init__(self, subscriptionId, credential):
        self._subscription_id = subscriptionId
        self._credential = credential

    def getCSC(self):
        """The SDK credential for the network and Resource Graph clients."""
        return self._credential

    def getSPC(self):
        """The SDK credential for the lock client (the same token credential today)."""
        return self._credential

    def getSubId(self):
        return self._subscription_id

    def __repr__(self):
        return f"AzureCredential({self._subscription_id!r})"


def build_sdk_credential(settings, authority=None):
    """An azure-identity credential from a subscription's `credential` settings.

    `type: service_principal` (tenant_id, client_id, and client_secret or client_secret_env)
    gives a client-secret credential; `type: default` or no settings gives the default chain;
    `type: static_token` (optional `token`) always presents one token, for emulators only.
    """
    from azure.identity import ClientSecretCredential, DefaultAzureCredential

    settings = settings or {}
    kind = settings.get("type", "service_principal" if "client_id" in settings else "default")
    extra = {"authority": authority} if authority else {}
    if kind == "default":
        return DefaultAzureCredential(**extra)
    if kind == "static_token":
        from qn.arm.res.cloud import StaticTokenCredential

        return StaticTokenCredential(settings.get("token") or "armsim")
    if kind != "service_principal":
        raise ConfigurationError(f"unknown credential type {kind!r}")
    secret = settings.get("client_secret")
    if secret is None and settings.get("client_secret_env"):
        secret = os.environ.get(settings["client_secret_env"])
    missing = [
        k
        for k, v in (
            ("tenant_id", settings.get("tenant_id")),
            ("client_id", settings.get("client_id")),
            ("client_secret", secret),
        )
        if not v
    ]
    if missing:
        raise ConfigurationError(f"service principal credential lacks {', '.join(missing)}")
    return ClientSecretCredential(settings["tenant_id"], settings["client_id"], secret, **extra)


class YamlContext:
    """A view of the tool's configuration; cheap to make, the file is parsed once per change."""

    def __init__(self, path=None):
        self.path = path or config_path()
        self.config = _load(self.path)

    def subscriptions(self):
        return _section(self.config, self.path, "subscriptions")

    def subscriptionInfo(self, subscriptionId):
        """The configuration of one subscription (alias, credential), or None."""
        info = self.subscriptions().get(subscriptionId)
        if info is not None and not isinstance(info, dict):
            raise ConfigurationError(
                f"{self.path}: 'subscriptions.{subscriptionId}' must be a mapping"
            )
        return info

    def generateAzureCredential(self, subscriptionId):
        """An AzureCredential for the subscription, or None when none is configured."""
        info = self.subscriptionInfo(subscriptionId)
        if info is None:
            return None
        try:
            credential = build_sdk_credential(info.get("credential"), self.config.get("authority"))
        except ConfigurationError as error:
            raise ConfigurationError(
                f"{self.path}: 'subscriptions.{subscriptionId}.credential': {error}"
            ) from error
        return AzureCredential(subscriptionId, credential)

    def getGlobalContext(self, name):
        """The named global setting (section `settings`), or its default."""
        settings = _section(self.config, self.path, "settings")
        if name in settings:
            return settings[name]
        return GLOBAL_DEFAULTS.get(name)

    def getVnetSetting(self, vnetName, name, default=None):
        """A setting of one VNet (section `vnets.<vnetName>`), or `default`."""
        vnet = _section(self.config, self.path, "vnets").get(vnetName) or {}
        if not isinstance(vnet, dict):
            raise ConfigurationError(f"{self.path}: 'vnets.{vnetName}' must be a mapping")
        return vnet.get(name, default)
