"""The tool's configuration context and its per-subscription credentials.

The configuration is one YAML file. Its path is the one a program installed for the block
running (`YamlContext.using`, per context: a run's workers see their run's), else the
environment variable QN_ARM_CONFIG; without either, "qn-arm.yaml" in the current directory is
read when it exists, and an empty configuration is used when it does not. See
docs/configuration.md for the layout.
"""

import contextlib
import os
import threading
from collections.abc import Iterator
from contextvars import ContextVar
from typing import Any

import yaml

from qn.arm.res.credentials import AzureCredential, build_sdk_credential
from qn.arm.res.errors import ConfigError

__all__ = [
    "CONFIG_ENV",
    "DEFAULT_CONFIG_PATH",
    "PUBLIC_ENDPOINT",
    "AzureCredential",
    "ConfigError",
    "YamlContext",
    "config_path",
]

CONFIG_ENV = "QN_ARM_CONFIG"
DEFAULT_CONFIG_PATH = "qn-arm.yaml"
# Azure Resource Manager of the public cloud: the management endpoint when none is configured.
PUBLIC_ENDPOINT = "https://management.azure.com"

# Global settings and their values when the configuration does not name them.
GLOBAL_DEFAULTS = {
    "configure_shared_route_table_replication": 0,
}


_installed: ContextVar[str | None] = ContextVar("YamlContext.path", default=None)


def config_path() -> str:
    return _installed.get() or os.environ.get(CONFIG_ENV) or DEFAULT_CONFIG_PATH


_cache_lock = threading.Lock()
_cache: dict[str, tuple[tuple[int, int], dict[str, Any]]] = {}  # path -> (mtime, size), parsed


def _load(path: str) -> dict[str, Any]:
    try:
        stat = os.stat(path)
    except FileNotFoundError:
        # A file that was named must be there; only the default may be missing.
        if _installed.get():
            raise ConfigError(f"{path}: configuration file not found") from None
        if os.environ.get(CONFIG_ENV):
            raise ConfigError(f"{path}: configuration file not found ({CONFIG_ENV})") from None
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
        raise ConfigError(f"{path}: not valid YAML: {error}") from error
    if loaded is None:
        loaded = {}
    if not isinstance(loaded, dict):
        raise ConfigError(f"{path}: the top level must be a mapping")
    with _cache_lock:
        _cache[path] = (key, loaded)
    return loaded


def _section(config: dict[str, Any], path: str, name: str) -> dict[str, Any]:
    value = config.get(name) or {}
    if not isinstance(value, dict):
        raise ConfigError(f"{path}: '{name}' must be a mapping")
    return value


class YamlContext:
    """A view of the tool's configuration; cheap to make, the file is parsed once per change."""

    def __init__(self, path: str | None = None) -> None:
        self.path = path or config_path()
        self.config = _load(self.path)

    @staticmethod
    @contextlib.contextmanager
    def using(path: str) -> Iterator[None]:
        """`YamlContext()` reads the configuration at `path` within the block, in this context
        and those copied from it."""
        token = _installed.set(path)
        try:
            yield
        finally:
            _installed.reset(token)

    def subscriptions(self) -> dict[str, Any]:
        return _section(self.config, self.path, "subscriptions")

    def subscriptionInfo(self, subscriptionId: str) -> dict[str, Any] | None:
        """The configuration of one subscription (alias, credential), or None."""
        info = self.subscriptions().get(subscriptionId)
        if info is not None and not isinstance(info, dict):
            raise ConfigError(f"{self.path}: 'subscriptions.{subscriptionId}' must be a mapping")
        return info

    def generateAzureCredential(self, subscriptionId: str) -> AzureCredential | None:
        """An AzureCredential for the subscription, or None when none is configured."""
        info = self.subscriptionInfo(subscriptionId)
        if info is None:
            return None
        try:
            credential = build_sdk_credential(
                info.get("credential"), self.config.get("authority"), subscriptionId
            )
        except ConfigError as error:
            raise ConfigError(
                f"{self.path}: 'subscriptions.{subscriptionId}.credential': {error}"
            ) from error
        return AzureCredential(subscriptionId, credential)

    def getGlobalContext(self, name: str) -> Any:
        """The named global setting (section `settings`), or its default."""
        settings = _section(self.config, self.path, "settings")
        if name in settings:
            return settings[name]
        return GLOBAL_DEFAULTS.get(name)

    def getVnetSetting(self, vnetName: str, name: str, default: Any = None) -> Any:
        """A setting of one VNet (section `vnets.<vnetName>`), or `default`."""
        vnet = _section(self.config, self.path, "vnets").get(vnetName) or {}
        if not isinstance(vnet, dict):
            raise ConfigError(f"{self.path}: 'vnets.{vnetName}' must be a mapping")
        return vnet.get(name, default)
