"""The tool's credentials: its per-subscription record, the SDK credential a subscription's
`credential` settings make, and the static token an emulator accepts.

A credential that cannot get a token fails with `SignInError`, whose text names the
subscription, the kind of sign-in (with its tenant, client ID and certificate where set) and
what to do, followed by what azure-identity said.
"""

import os
import time
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any

from azure.core.credentials import AccessToken, TokenCredential
from azure.core.exceptions import AzureError, ClientAuthenticationError

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


class SignInError(ClientAuthenticationError):
    """A subscription's credential got no token; the text says which and what to do."""


@dataclass(frozen=True)
class SignIn:
    """How one subscription signs in, as an operator reads it in an error."""

    subscription: str
    kind: str  # "default", "service_principal" or "static_token"
    tenant_id: str | None = None
    client_id: str | None = None
    certificate: str | None = None  # the certificate file of a service principal that has one
    secret_env: str | None = None  # the variable holding a service principal's secret

    @classmethod
    def of(cls, subscription: str, settings: Mapping[str, Any] | None) -> "SignIn":
        """How the subscription's `credential` settings sign in."""
        settings = settings or {}
        kind = settings.get("type", "service_principal" if "client_id" in settings else "default")
        return cls(
            subscription,
            kind,
            settings.get("tenant_id"),
            settings.get("client_id"),
            settings.get("certificate_path"),
            settings.get("client_secret_env"),
        )

    def described(self) -> str:
        if self.kind == "default":
            return "the default sign-in chain (azure-identity's DefaultAzureCredential)"
        if self.kind == "static_token":
            return "a static token (emulators only)"
        proof = f"certificate {self.certificate}" if self.certificate else "client secret"
        if self.secret_env and not self.certificate:
            proof += f" from {self.secret_env}"
        return f"service principal {self.client_id} of tenant {self.tenant_id} ({proof})"

    def remedy(self) -> str:
        if self.kind == "default":
            return (
                "sign in with `az login` (then `az account set --subscription "
                f"{self.subscription}`), run where a managed identity or workload identity is "
                "assigned, or set AZURE_TENANT_ID, AZURE_CLIENT_ID and AZURE_CLIENT_SECRET; or "
                "give the subscription a service principal credential in the configuration"
            )
        if self.certificate:
            return (
                "check that the certificate is the one uploaded to the application's "
                "registration (or that its subject name is trusted, with send_certificate_chain), "
                "that it has not expired, and that tenant_id and client_id are right"
            )
        return (
            "check tenant_id and client_id, and that the secret is the application's current "
            "one (secrets expire)"
        )

    def refused(self, error: ClientAuthenticationError) -> str:
        """Azure's refusal of the token this sign-in got."""
        what = (
            "check that `token` is one the emulator accepts"
            if self.kind == "static_token"
            else "check that the subscription belongs to the tenant signed in to, and that "
            "management_credential_scope fits management_endpoint"
        )
        said = (str(error).strip().splitlines() or [type(error).__name__])[0]
        return (
            f"Azure refused the sign-in for subscription {self.subscription} with "
            f"{self.described()}; {what}. Azure said: {said}"
        )

    def failure(self, error: Exception) -> str:
        said = str(error).strip() or type(error).__name__
        told = "\n    ".join(said.splitlines())
        return (
            f"sign-in for subscription {self.subscription} with {self.described()} failed; "
            f"{self.remedy()}.\n  azure-identity said: {told}"
        )


class SignedInCredential:
    """An SDK credential whose failures name the subscription and the way it signs in."""

    def __init__(self, credential: TokenCredential, sign_in: SignIn) -> None:
        self.wrapped = credential
        self.sign_in = sign_in

    def get_token(self, *scopes: str, **kwargs: Any) -> AccessToken:
        try:
            return self.wrapped.get_token(*scopes, **kwargs)
        except SignInError:
            raise
        except (AzureError, ValueError) as error:  # MSAL refuses a malformed tenant with ValueError
            raise SignInError(self.sign_in.failure(error)) from None

    def close(self) -> None:
        close = getattr(self.wrapped, "close", None)
        if close is not None:
            close()


def certificate_problem(path: str, password: str | None) -> str | None:
    """What keeps a service principal's certificate file from being used, or None. The file
    holds the certificate with its RSA private key, as PEM or PKCS12; tokens are signed with
    RS256."""
    from cryptography import x509
    from cryptography.hazmat.primitives.asymmetric import rsa
    from cryptography.hazmat.primitives.serialization import load_pem_private_key, pkcs12

    try:
        with open(path, "rb") as handle:
            data = handle.read()
    except OSError as error:
        return f"cannot read {path}: {error.strerror}"
    secret = password.encode() if password else None
    try:
        if b"-----BEGIN" in data:
            key: Any = load_pem_private_key(data, secret)
            x509.load_pem_x509_certificate(data)
        else:
            key, certificate, _ = pkcs12.load_key_and_certificates(data, secret)
            if certificate is None:
                return f"{path} holds no certificate"
    except TypeError:  # a password given for a plain key, or none for an encrypted one
        if secret is None:
            return f"{path}: the private key is encrypted; name its password's variable"
        return f"{path}: the private key is not encrypted; give it no password"
    except ValueError:
        return (
            f"{path}: cannot read the certificate and its private key: the password is wrong, "
            "or the file is not PEM or PKCS12 with both"
        )
    if key is None:
        return f"{path} holds no private key"
    if not isinstance(key, rsa.RSAPrivateKey):
        return f"{path}: the private key must be RSA (Azure's tokens are signed with RS256)"
    return None


def build_sdk_credential(
    settings: Mapping[str, Any] | None,
    authority: str | None = None,
    subscription: str = "(unnamed)",
) -> TokenCredential:
    """An SDK credential from a subscription's `credential` settings.

    `type: service_principal` (tenant_id, client_id, and client_secret / client_secret_env or
    certificate_path with optional certificate_password_env and send_certificate_chain) gives a
    client-secret or certificate credential; `type: default` or no settings gives the default
    chain; `type: static_token` (optional `token`) always presents one token, for emulators
    only. A failure to get a token names `subscription` (SignInError).
    """
    settings = settings or {}
    kind = settings.get("type", "service_principal" if "client_id" in settings else "default")
    if kind == "static_token":
        return StaticTokenCredential(settings.get("token") or STATIC_TOKEN)
    if kind not in ("default", "service_principal"):
        raise ConfigError(f"unknown credential type {kind!r}")
    # azure.identity takes about a second to import: only a run with a real credential pays it.
    from azure.identity import DefaultAzureCredential

    extra = {"authority": authority} if authority else {}
    sign_in = SignIn.of(subscription, settings)
    try:
        if kind == "default":
            credential: TokenCredential = DefaultAzureCredential(**extra)
        else:
            credential = service_principal(settings, sign_in, extra)
    except ConfigError:
        raise
    except ValueError as error:  # a tenant ID azure-identity cannot use, for one
        raise SignInError(sign_in.failure(error)) from None
    return SignedInCredential(credential, sign_in)


def service_principal(
    settings: Mapping[str, Any], sign_in: SignIn, extra: dict[str, Any]
) -> TokenCredential:
    """The service principal's credential: by certificate when it names one, else by secret."""
    from azure.identity import CertificateCredential, ClientSecretCredential

    missing = [key for key in ("tenant_id", "client_id") if not settings.get(key)]
    if sign_in.certificate:
        if missing:
            raise ConfigError(f"service principal credential lacks {', '.join(missing)}")
        password = secret_from(settings.get("certificate_password_env"))
        problem = certificate_problem(sign_in.certificate, password)
        if problem:
            raise ConfigError(f"certificate_path: {problem}")
        return CertificateCredential(
            str(sign_in.tenant_id),
            str(sign_in.client_id),
            sign_in.certificate,
            password=password,
            send_certificate_chain=bool(settings.get("send_certificate_chain")),
            **extra,
        )
    secret = settings.get("client_secret") or secret_from(settings.get("client_secret_env"))
    if not secret:
        missing.append("client_secret")
    if missing:
        raise ConfigError(f"service principal credential lacks {', '.join(missing)}")
    return ClientSecretCredential(
        str(sign_in.tenant_id), str(sign_in.client_id), str(secret), **extra
    )


def secret_from(variable: str | None) -> str | None:
    return os.environ.get(variable) if variable else None
