"""The emulator's HTTPS server: a threaded standard-library server on the loopback interface.

TLS uses a certificate authority made for the run (certificates.py), so the SDK clients keep
their bearer-token authentication, which refuses plain HTTP, and only learn to trust that
authority.
"""

import json
import logging
import threading
import time
import uuid
from collections import Counter
from collections.abc import Mapping
from email.message import Message
from types import TracebackType
from typing import Any, Self
from urllib.parse import parse_qsl, unquote, urlsplit

from qn.arm.emulator.serving import CertificateDirectory, Serving, TlsHandler, TlsServer

from .access import Principal, authorize
from .certificates import make_certificates
from .faults import Fault, Faults
from .handlers import (
    Request,
    Response,
    dispatch,
    lock_call_kind,
    retry_after,
    write_seconds,
)
from .settings import Settings
from .state import ArmError, Json
from .throttle import Allowances
from .topology import Source, load

log = logging.getLogger("armsim")

WRITE_METHODS = ("PUT", "PATCH", "DELETE")

# What Emulator.handle answers for a request whose connection a fault drops.
DROPPED = Response(0)


class Emulator:
    """An ARM emulator serving one topology; start() runs it on a thread.

    with Emulator("topology.yaml") as arm:
        client = NetworkManagementClient(credential, sub, base_url=arm.endpoint,
                                         connection_verify=arm.ca_file, ...)
    """

    def __init__(
        self,
        topology: Source | None = None,
        *,
        host: str = "127.0.0.1",
        port: int = 0,
        token: str | None = None,
        cert_dir: str | None = None,
        settings: Settings | None = None,
        **setting_values: Any,
    ) -> None:
        loaded = load(topology if topology is not None else {})
        self.state = loaded.state
        # Principals of the topology; `token` adds one that may do everything. With neither,
        # any bearer token may do everything.
        self.principals = dict(loaded.principals)
        if token is not None and token not in self.principals:
            self.principals[token] = Principal(token)
        self.settings = settings or Settings(**setting_values)
        self.faults = Faults()
        self.allowances = Allowances()
        self.token = token
        self.host = host
        self.port = port
        self._certificates = CertificateDirectory(cert_dir, "armsim-")
        self._serving: Serving[Emulator] = Serving(_Handler, log)
        self._requests: list[tuple[str, str]] = []
        self._requests_lock = threading.Lock()
        self.ca_file: str | None = None

    # -- lifecycle --------------------------------------------------------------------------
    def start(self) -> Self:
        context, self.ca_file = make_certificates(self._certificates.path(), self.host)
        self.port = self._serving.start(self, (self.host, self.port), context)
        log.info("armsim serving %s", self.endpoint)
        return self

    def stop(self) -> None:
        self._serving.stop()
        self._certificates.remove()

    def __enter__(self) -> Self:
        return self.start()

    def __exit__(
        self,
        kind: type[BaseException] | None,
        error: BaseException | None,
        trace: TracebackType | None,
    ) -> None:
        self.stop()

    @property
    def endpoint(self) -> str:
        return f"https://{self.host}:{self.port}"

    def tool_config(
        self, aliases: Mapping[str, str], tokens: Mapping[str, str] | None = None
    ) -> Json:
        """The keys of the tool's configuration that point it at this emulator: the endpoint,
        the certificate authority, and a static-token credential for each subscription of
        `aliases` ({subscription ID: Terraform provider alias}). `tokens` ({subscription ID:
        token}) picks a subscription's token; the others get `token`, else the topology's
        first principal, else "armsim"."""
        default = self.token or next(iter(self.principals), "armsim")
        tokens = tokens or {}

        def credential(subscription: str) -> dict[str, str]:
            return {"type": "static_token", "token": tokens.get(subscription, default)}

        return {
            "management_endpoint": self.endpoint,
            "management_ca_bundle": self.ca_file,
            "subscriptions": {
                subscription: {"alias": alias, "credential": credential(subscription)}
                for subscription, alias in aliases.items()
            },
        }

    # -- what tests look at -----------------------------------------------------------------
    def snapshot(self, markers: bool = False) -> dict[str, Json]:
        """The whole state: {resource ID: resource as ARM renders it}; etags and resource
        GUIDs only with `markers`, so a change and its undoing leave an equal snapshot."""
        return self.state.snapshot(markers)

    def finish_operations(self) -> None:
        """Ends every running operation now, as if its time were up."""
        self.state.finish_all()

    def wait_idle(self, timeout: float = 10.0) -> None:
        """Waits until every running operation has ended in its own time, as a client that
        started writes without waiting for them would; TimeoutError after `timeout` seconds."""
        end = time.monotonic() + timeout
        while True:
            self.state.advance()
            deadline = self.state.next_deadline()
            if deadline is None:
                return
            if deadline > end:
                raise TimeoutError(f"operations still running after {timeout} s")
            time.sleep(max(0.0, deadline - time.monotonic()))

    @property
    def requests(self) -> list[tuple[str, str]]:
        """Every request received, in order, as (method, path without the query)."""
        with self._requests_lock:
            return list(self._requests)

    def request_counts(self) -> Counter[tuple[str, str]]:
        """Counter of requests by (method, path)."""
        return Counter(self.requests)

    def write_requests(self) -> list[tuple[str, str]]:
        return [r for r in self.requests if r[0] in WRITE_METHODS]

    def clear_requests(self) -> None:
        with self._requests_lock:
            self._requests.clear()

    def _record(self, method: str, path: str) -> None:
        with self._requests_lock:
            self._requests.append((method, path))

    # -- serving one request ----------------------------------------------------------------
    def handle(self, method: str, target: str, headers: Message, body: bytes) -> Response:
        url = urlsplit(target)
        path = decoded(url.path)
        self._record(method, path)
        fault = None
        remaining: dict[str, str] = {}
        try:
            principal = self._authenticate(headers)
            content = self._parse(body)
            authorize(principal, method, [s for s in path.split("/") if s], content)
            remaining = self.allowances.take(self.settings, method, path, principal.object_id)
            fault = self.faults.take(method, path)
            if fault is not None and fault.drop == "before":
                return DROPPED
            if fault is not None and fault.delay:
                time.sleep(fault.delay)
            if fault is not None and fault.status and not fault.fail_async:
                response = self._fault_answer(fault, method, path)
            else:
                query = dict(parse_qsl(url.query))
                request = Request(method, path, query, content, self.endpoint, principal)
                response = self._serve(request, fault)
        except ArmError as error:
            response = Response(error.status, error.body(), error.headers)
        except Exception as error:  # answer like a server would, and keep serving
            log.exception("armsim failed on %s %s", method, target)
            response = Response(
                500, {"error": {"code": "InternalServerError", "message": repr(error)}}
            )
        if fault is not None and fault.drop == "after":
            return DROPPED
        response.headers.update(remaining)
        return response

    def _serve(self, request: Request, fault: Fault | None) -> Response:
        """Serves a request on the state, after ending the operations whose time is up. A lock
        call takes its time first, without holding the state, which keeps serving others."""
        kind = lock_call_kind(request.method, request.path)
        if kind is not None:
            time.sleep(write_seconds(self.settings, kind, fault))
            if fault is not None and fault.fail_async:
                return self._fault_answer(fault, request.method, request.path)
        with self.state.lock:
            self.state.advance()
            return dispatch(self.state, self.settings, request, fault)

    def _authenticate(self, headers: Message) -> Principal:
        """The principal of the request's bearer token; 401 for none or an unknown one."""
        scheme, _, token = (headers.get("Authorization") or "").partition(" ")
        principal = self.principals.get(token) if self.principals else Principal(token)
        if scheme.lower() != "bearer" or not token or principal is None:
            raise ArmError(
                401,
                "AuthenticationFailed",
                "Authentication failed. The 'Authorization' header is missing or invalid.",
            )
        return principal

    @staticmethod
    def _parse(body: bytes) -> Any:
        if not body:
            return None
        try:
            return json.loads(body)
        except ValueError as error:
            raise ArmError(
                400, "InvalidRequestContent", f"The request content is not valid JSON: {error}"
            ) from error

    @staticmethod
    def _fault_answer(fault: Fault, method: str, path: str) -> Response:
        headers = {}
        seconds = fault.retry_after if fault.retry_after is not None else (
            1 if fault.status == 429 else None
        )  # fmt: skip
        if seconds is not None:
            headers.update(retry_after(seconds))
        status = fault.status or 500  # a failing lock call names no status
        error = ArmError(status, fault.error_code(), fault.error_message(method, path))
        return Response(status, error.body(), headers)


def decoded(path: str) -> str:
    """The path with each segment percent-decoded once, as ARM reads names in paths."""
    return "/".join(unquote(segment) for segment in path.split("/"))


class _Handler(TlsHandler):
    server: TlsServer[Emulator]

    def handle_one(self) -> None:
        response = self.server.emulator.handle(
            self.command, self.path, self.headers, self.read_body()
        )
        if response is DROPPED:
            self.close_connection = True  # no answer: the connection just ends
            return
        request_id = {"x-ms-request-id": str(uuid.uuid4())}
        self.send_json(response.status, response.body, {**request_id, **response.headers})

    do_GET = do_PUT = do_POST = do_DELETE = do_PATCH = handle_one
