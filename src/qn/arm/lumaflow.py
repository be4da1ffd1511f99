"""Client of the Lumaflow controller's API.

Every request is an HTTP POST of form fields to the controller's API endpoint, with the action
under "action" and the controller identifier under "CID"; the controller answers with JSON
carrying the success flag "return" and either "results" or a "reason".

The class-level operations of `Lumaflow` are what the library calls, with the CID it read from
the tool's globals. A `LumaflowSession` adds what a long run needs: it logs in, logs in again
once when the controller says the session has expired, tries transient failures again with a
backoff, and trusts a given certificate authority. Installed for a block (`session.installed()`),
it also carries the library's requests to its endpoint, whose CID may have gone stale.
"""

import contextlib
import logging
import os
import threading
import time
from collections.abc import Iterator, Mapping, Sequence
from contextvars import ContextVar
from dataclasses import dataclass
from typing import Any

import requests

log = logging.getLogger("qn.arm.lumaflow")

DEFAULT_TIMEOUT = 30.0

# The controller's wire names, as this client sends and reads them.
LOGIN = "login"
LIST_ACCOUNTS = "list_accounts"
LIST_GATEWAY_INFO = "list_gateway_info"
ATTACH_SPOKE = "attach_spoke_to_transit_gw"
DETACH_SPOKE = "detach_spoke_from_transit_gw"
ASSOCIATE = "associate_attachment_to_multi_cloud_security_domain"
DISASSOCIATE = "disassociate_attachment_from_multi_cloud_security_domain"
LIST_DOMAIN_ATTACHMENTS = "list_multi_cloud_security_domain_attachments"
ACTION = "action"
CID_FIELD = "CID"
USERNAME = "username"
PASSWORD = "password"
ACCOUNT_FILTER = "vpc_access_account_name"
SPOKE_GW = "spoke_gw"
TRANSIT_GW = "transit_gw"
ROUTE_TABLES = "route_table_list"
DOMAIN = "domain_name"
ATTACHMENT = "attachment_name"
# Reasons acted on: the first calls for a new login, the second for another try later.
SESSION_EXPIRED = "CID is invalid or expired."
BUSY = "is busy with another operation, please try again later."

Payload = Mapping[str, Any]


class LumaflowError(RuntimeError):
    """The controller could not be reached or refused a request; the text gives its reason.

    reason: the controller's own reason when it refused (None when it never answered)."""

    def __init__(self, message: str, *, reason: str | None = None) -> None:
        super().__init__(message)
        self.reason = reason


class LumaflowUnreachable(LumaflowError):
    """The controller did not answer (connection refused or lost, timeout), even after the
    session's tries: an outage, not a refusal."""


def _describe(response: requests.Response) -> tuple[dict[str, Any] | None, str]:
    try:
        answer = response.json()
    except ValueError:
        return None, f"HTTP {response.status_code}: answer is not JSON"
    if not isinstance(answer, dict):
        return None, f"HTTP {response.status_code}: unexpected answer {answer!r}"
    return answer, answer.get("reason") or f"HTTP {response.status_code}"


def _refusal(response: requests.Response) -> str | None:
    """The controller's reason when the answer is a refusal; None for a success."""
    answer, reason = _describe(response)
    if response.status_code < 400 and answer is not None and answer.get("return") is True:
        return None
    return reason


def _key(endpoint: str) -> str:
    return endpoint.rstrip("/")


# The sessions installed in the running context, by endpoint.
_installed: ContextVar[Mapping[str, "LumaflowSession"] | None] = ContextVar(
    "lumaflow sessions", default=None
)


def installed_session(endpoint: str) -> "LumaflowSession | None":
    return (_installed.get() or {}).get(_key(endpoint))


class Lumaflow:
    timeout = DEFAULT_TIMEOUT
    verify: bool | str = True  # TLS verification of the controller; a CA bundle path too

    @classmethod
    def _send(cls, endpoint: str, payload: Payload) -> requests.Response:
        session = installed_session(endpoint)
        if session is not None:
            return session.send(payload)
        try:
            return requests.post(endpoint, data=payload, timeout=cls.timeout, verify=cls.verify)
        except requests.RequestException as error:
            raise LumaflowUnreachable(f"controller at {endpoint} unreachable: {error}") from error

    @classmethod
    def list_gateway_info(cls, api_endpoint_url, CID, vpc_access_account_name=""):
        """The controller's gateway list; `json()` of the response is its answer as sent."""
        return cls._send(
            api_endpoint_url,
            {ACTION: LIST_GATEWAY_INFO, CID_FIELD: CID, ACCOUNT_FILTER: vpc_access_account_name},
        )

    @classmethod
    def list_accounts(cls, api_endpoint_url, CID, iam_based="false"):
        """The controller's account list; `json()` of the response is its answer as sent."""
        return cls._send(
            api_endpoint_url, {ACTION: LIST_ACCOUNTS, CID_FIELD: CID, "iam_based": iam_based}
        )

    @classmethod
    def lumaflow_post(cls, endpoint, payload):
        """Sends one request; raises LumaflowError unless the controller reports success."""
        response = cls._send(endpoint, payload)
        answer, reason = _describe(response)
        if response.status_code >= 400 or answer is None or answer.get("return") is not True:
            action = payload.get(ACTION, "request") if isinstance(payload, dict) else "request"
            raise LumaflowError(f"controller refused {action}: {reason}", reason=reason)
        return answer


@dataclass(frozen=True)
class Retries:
    """How a transient failure (no answer, HTTP 5xx, a busy refusal) is tried again: `attempts`
    tries in all, waiting `base_delay` seconds after the first failure, doubled after each
    further one up to `max_delay`."""

    attempts: int = 4
    base_delay: float = 2.0
    max_delay: float = 30.0

    def delay(self, failures: int) -> float:
        return min(self.max_delay, self.base_delay * 2 ** (failures - 1))


@dataclass(frozen=True)
class GatewayInfo:
    name: str
    kind: str  # "spoke" or "transit"
    account: str
    vpc_id: str  # "<VNet>:<resource group>:..."
    private_ip: str
    transit: str  # the transit a spoke is attached to; "" when none (always for a transit)
    route_tables: tuple[str, ...]  # a spoke's managed route tables, "<name>:<resource group>"
    security_domain: str  # "" when none

    @property
    def vnet_name(self) -> str:
        return self.vpc_id.split(":")[0]

    @property
    def resource_group(self) -> str:
        return self.vpc_id.split(":")[1]


@dataclass(frozen=True)
class SpokeAttachment:
    spoke: str
    transit: str
    route_tables: tuple[str, ...]


@dataclass(frozen=True)
class DomainAssociation:
    domain: str
    attachment: str


class LumaflowSession:
    """One controller session, shared by the threads of a run.

    Either `username` with `password_env` (the environment variable holding the password),
    and it logs in when first used and again when the controller says the CID expired; or a
    fixed `cid`, used as given (an expired one then stays refused).
    """

    def __init__(
        self,
        endpoint: str,
        *,
        username: str | None = None,
        password_env: str | None = None,
        cid: str | None = None,
        ca_bundle: str | None = None,
        timeout: float = DEFAULT_TIMEOUT,
        retries: Retries = Retries(),
    ) -> None:
        if cid is None and not (username and password_env):
            raise ValueError("a controller session needs a CID, or a user name and password_env")
        self.endpoint = _key(endpoint)
        self.username = username
        self.password_env = password_env
        self.verify: bool | str = ca_bundle or True
        self.timeout = timeout
        self.retries = retries
        self._cid = cid
        self._lock = threading.Lock()

    @property
    def can_login(self) -> bool:
        return bool(self.username and self.password_env)

    @property
    def cid(self) -> str:
        """The session's CID, logging in first when there is none yet."""
        with self._lock:
            if self._cid is None:
                self._cid = self._login()
            return self._cid

    def login(self) -> str:
        """Logs in now and returns the new CID."""
        with self._lock:
            self._cid = self._login()
            return self._cid

    @contextlib.contextmanager
    def installed(self) -> Iterator["LumaflowSession"]:
        """For the block, in this context (and contexts copied from it), the library's
        requests to this endpoint go through the session, with its CID."""
        token = _installed.set({**(_installed.get() or {}), self.endpoint: self})
        try:
            yield self
        finally:
            _installed.reset(token)

    # -- sending ------------------------------------------------------------------------------
    def send(self, payload: Payload) -> requests.Response:
        """The controller's answer to the payload, sent with the session's CID: after one new
        login if the CID had expired, and after tries again of transient failures. Raises
        LumaflowUnreachable when the last try got no answer."""
        stale = self.cid
        response = self._tried(lambda: self._post({**payload, CID_FIELD: stale}))
        if SESSION_EXPIRED in (_refusal(response) or "") and self.can_login:
            log.info(f"Controller session expired; logging in again as {self.username}")
            fresh = self._renew(stale)
            response = self._tried(lambda: self._post({**payload, CID_FIELD: fresh}))
        return response

    def call(self, action: str, **fields: str) -> Any:
        """The results of one action; LumaflowError with the controller's reason when it
        refuses."""
        response = self.send({ACTION: action, **fields})
        reason = _refusal(response)
        if reason is not None:
            raise LumaflowError(f"controller refused {action}: {reason}", reason=reason)
        return _describe(response)[0].get("results")  # type: ignore[union-attr]

    def _post(self, payload: Payload) -> requests.Response:
        try:
            return requests.post(
                self.endpoint, data=payload, timeout=self.timeout, verify=self.verify
            )
        except requests.RequestException as error:
            raise LumaflowUnreachable(
                f"controller at {self.endpoint} unreachable: {error}"
            ) from error

    def _tried(self, post: Any) -> requests.Response:
        """post() until it gets an answer that is not transient, at most `attempts` times."""
        for failures in range(1, self.retries.attempts + 1):
            try:
                response = post()
            except LumaflowUnreachable as error:
                if failures == self.retries.attempts:
                    raise
                what = str(error)
            else:
                reason = _refusal(response)
                transient = response.status_code >= 500 or BUSY in (reason or "")
                if not transient or failures == self.retries.attempts:
                    return response
                what = f"controller answered {reason}"
            delay = self.retries.delay(failures)
            log.warning(f"{what}; trying again in {delay:g} s ({failures}/{self.retries.attempts})")
            time.sleep(delay)
        raise AssertionError("unreachable: the last try returns or raises")

    def _renew(self, stale: str) -> str:
        """A new CID, unless another thread already replaced the stale one."""
        with self._lock:
            if self._cid == stale:
                self._cid = self._login()
            return self._cid  # type: ignore[return-value]

    def _login(self) -> str:
        if not self.can_login:
            raise LumaflowError("the controller session has no user name and password to log in")
        password = os.environ.get(self.password_env or "")
        if not password:
            raise LumaflowError(f"the controller password variable {self.password_env} is not set")
        payload = {ACTION: LOGIN, USERNAME: self.username, PASSWORD: password}
        response = self._tried(lambda: self._post(payload))
        reason = _refusal(response)
        if reason is not None:
            raise LumaflowError(
                f"controller refused login as {self.username}: {reason}", reason=reason
            )
        results = _describe(response)[0].get("results")  # type: ignore[union-attr]
        if not isinstance(results, dict) or not isinstance(results.get(CID_FIELD), str):
            raise LumaflowError(f"controller answered the login without a CID: {results!r}")
        return results[CID_FIELD]

    # -- typed operations ---------------------------------------------------------------------
    def list_gateways(self, account: str = "") -> list[GatewayInfo]:
        results = self.call(LIST_GATEWAY_INFO, **{ACCOUNT_FILTER: account})
        return [_gateway(entry) for entry in _expect(results, list, LIST_GATEWAY_INFO)]

    def attach_spoke(
        self, spoke_gw: str, transit_gw: str, route_tables: Sequence[str]
    ) -> SpokeAttachment:
        """Attaches the spoke; `route_tables` are its managed tables, "<name>:<group>"."""
        fields = {SPOKE_GW: spoke_gw, TRANSIT_GW: transit_gw, ROUTE_TABLES: ",".join(route_tables)}
        return _attachment(self.call(ATTACH_SPOKE, **fields), ATTACH_SPOKE)

    def detach_spoke(self, spoke_gw: str) -> SpokeAttachment:
        """Detaches the spoke; the result is the attachment that was removed."""
        return _attachment(self.call(DETACH_SPOKE, **{SPOKE_GW: spoke_gw}), DETACH_SPOKE)

    def associate(self, domain: str, attachment: str) -> DomainAssociation:
        return self._domain_call(ASSOCIATE, domain, attachment)

    def disassociate(self, domain: str, attachment: str) -> DomainAssociation:
        return self._domain_call(DISASSOCIATE, domain, attachment)

    def domain_attachments(self, domain: str) -> list[str]:
        results = self.call(LIST_DOMAIN_ATTACHMENTS, **{DOMAIN: domain})
        return [str(name) for name in _expect(results, list, LIST_DOMAIN_ATTACHMENTS)]

    def _domain_call(self, action: str, domain: str, attachment: str) -> DomainAssociation:
        results = _expect(
            self.call(action, **{DOMAIN: domain, ATTACHMENT: attachment}), dict, action
        )
        return DomainAssociation(str(results.get(DOMAIN)), str(results.get(ATTACHMENT)))


def _expect(results: Any, kind: type, action: str) -> Any:
    if not isinstance(results, kind):
        raise LumaflowError(f"controller answered {action} with unexpected results: {results!r}")
    return results


def _gateway(entry: Any) -> GatewayInfo:
    entry = _expect(entry, dict, LIST_GATEWAY_INFO)
    try:
        return GatewayInfo(
            name=entry["gw_name"],
            kind=entry.get("gw_type", ""),
            account=entry["account_name"],
            vpc_id=entry["vpc_id"],
            private_ip=entry.get("private_ip", ""),
            transit=entry.get("transit_gw") or "",
            route_tables=tuple(entry.get("route_tables") or ()),
            security_domain=entry.get("security_domain") or "",
        )
    except KeyError as error:
        raise LumaflowError(f"controller listed a gateway without {error}: {entry!r}") from None


def _attachment(results: Any, action: str) -> SpokeAttachment:
    results = _expect(results, dict, action)
    return SpokeAttachment(
        str(results.get(SPOKE_GW)),
        str(results.get(TRANSIT_GW)),
        tuple(results.get(ROUTE_TABLES) or ()),
    )
