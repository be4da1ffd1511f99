"""The tool's credentials: its per-subscription record, the SDK credential a subscription's
`credential` settings make, and the static token an emulator accepts."""

import os
import time
from collections.abc import Mapping
from typing import Any

from azure.core.credentials import AccessToken, TokenCredential

from qn.arm.res.errors import ConfigError

STATIC_TOKEN = "armsim"  # what an emulator accepts when nobody names a token


class AzureCredential:
    """The tool's credential record for one subscription."""

    def __init__(self, subscriptionId: str, credential: TokenCredential) -> None:
        self._subscription_id = subscriptionId
        self._credential = credential

    def getCSC(self) -> TokenCredential:
        """The SDK credential for the network and Resource Graph clients."""
        return self._credential

    def getSPC(self) -> TokenCredential:
        """The SDK credential for the lock client (the same token credential today)."""
        return self._credential

    def getSubId(self) -> str:
        return self._subscription_id

    def __repr__(self) -> str:
        return f"AzureCredential({self._subscription_id!r})"


class StaticTokenCredential:
    """A credential that always presents the same bearer token. For emulators only: Azure
    itself accepts no such token."""

    def __init__(self, token: str = STATIC_TOKEN) -> None:
        self._token = token

    def get_token(self, *scopes: str, **kwargs: Any) -> AccessToken:
        return AccessToken(self._token, int(time.time()) + 3600)

    def close(self) -> None:
        pass


def build_sdk_credential(
    settings: Mapping[str, Any] | None, authority: str | None = None
) -> TokenCredential:
    """An SDK credential from a subscription's `credential` settings.

    `type: service_principal` (tenant_id, client_id, and client_secret or client_secret_env)
    gives a client-secret credential; `type: default` or no settings gives the default chain;
    `type: static_token` (optional `token`) always presents one token, for emulators only.
    """
    settings = settings or {}
    kind = settings.get("type", "service_principal" if "client_id" in settings else "default")
    if kind == "static_token":
        return StaticTokenCredential(settings.get("token") or STATIC_TOKEN)
    if kind not in ("default", "service_principal"):
        raise ConfigError(f"unknown credential type {kind!r}")
    # azure.identity takes about a second to import: only a run with a real credential pays it.
    from azure.identity import ClientSecretCredential, DefaultAzureCredential

    extra = {"authority": authority} if authority else {}
    if kind == "default":
        return DefaultAzureCredential(**extra)
    secret = settings.get("client_secret")
    if secret is None and settings.get("client_secret_env"):
        secret = os.environ.get(settings["client_secret_env"])
    given = {
        "tenant_id": settings.get("tenant_id"),
        "client_id": settings.get("client_id"),
        "client_secret": secret,
    }
    missing = [key for key, value in given.items() if not value]
    if missing:
        raise ConfigError(f"service principal credential lacks {', '.join(missing)}")
    return ClientSecretCredential(
        str(given["tenant_id"]), str(given["client_id"]), str(secret), **extra
    )
