"""The controller emulator's HTTPS server and its in-process handle, `Emulator`.

TLS uses a certificate authority made for the emulator (the Azure emulator's certificates.py),
kept across stop() and start(): a client that trusts it still does when the controller comes
back after an outage.
"""

import json
import logging
import shutil
import socket
import ssl
import tempfile
import threading
from dataclasses import dataclass
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from types import TracebackType
from typing import Any, Self
from urllib.parse import parse_qsl, urlsplit

from qn.arm.armsim.certificates import make_certificates

from . import wire
from .azure import DEFAULT_TOKEN, AzureNetwork, ManagementEndpoint
from .controller import Controller, Refused
from .faults import Faults
from .settings import Settings
from .topology import Source, load

log = logging.getLogger("ctrlsim")

CA_FILE_NAME = "ctrlsim-ca.pem"


@dataclass(frozen=True)
class Answer:
    status: int
    body: dict[str, Any]


class Emulator:
    """A controller serving one topology on 127.0.0.1; it acts on Azure at `azure`.

    with armsim.Emulator(arm_topology) as arm, Emulator("controller.yaml", azure=arm) as ctrl:
        ctrl.endpoint  # https://127.0.0.1:<port>/v2/api
    """

    def __init__(
        self,
        topology: Source,
        *,
        azure: ManagementEndpoint,
        azure_token: str = DEFAULT_TOKEN,
        host: str = "127.0.0.1",
        port: int = 0,
        cert_dir: str | None = None,
        settings: Settings | None = None,
        **setting_values: Any,
    ) -> None:
        self.topology = load(topology)
        self.settings = settings or Settings(**setting_values)
        network = AzureNetwork(azure, azure_token, self.topology.peering_prefix)
        self.controller = Controller(self.topology, self.settings, network)
        self.faults = Faults()
        self.host = host
        self.port = port
        self._cert_dir = cert_dir
        self._own_dir: str | None = None
        self._context: ssl.SSLContext | None = None
        self.ca_file: str | None = None
        self._server: _Server | None = None
        self._thread: threading.Thread | None = None
        self._actions: list[str] = []
        self._actions_lock = threading.Lock()

    # -- lifecycle ----------------------------------------------------------------------------
    def start(self) -> Self:
        """Serves (again, after stop(): same port, same certificate authority)."""
        if self._server is not None:
            return self
        if self._context is None:
            directory = self._cert_dir
            if directory is None:
                self._own_dir = directory = tempfile.mkdtemp(prefix="ctrlsim-")
            self._context, self.ca_file = make_certificates(directory, self.host, CA_FILE_NAME)
        self._server = _Server((self.host, self.port), _Handler, self, self._context)
        self.port = self._server.server_address[1]
        self._thread = threading.Thread(
            target=self._server.serve_forever,
            args=(0.05,),
            name=f"ctrlsim:{self.port}",
            daemon=True,
        )
        self._thread.start()
        log.info("ctrlsim serving %s", self.endpoint)
        return self

    def stop(self) -> None:
        """Stops serving: connections are refused until start(). Sessions and attachments stay."""
        if self._server is not None:
            self._server.shutdown()
            self._server.server_close()
            if self._thread is not None:
                self._thread.join()
            self._server = None
            log.info("ctrlsim stopped")

    def close(self) -> None:
        """Stops serving for good and removes the certificate directory it made."""
        self.stop()
        if self._own_dir is not None:
            shutil.rmtree(self._own_dir, ignore_errors=True)
            self._own_dir = None

    def __enter__(self) -> Self:
        return self.start()

    def __exit__(
        self,
        kind: type[BaseException] | None,
        error: BaseException | None,
        trace: TracebackType | None,
    ) -> None:
        self.close()

    @property
    def endpoint(self) -> str:
        """The controller's API URL, as the tool's configuration names it."""
        return f"https://{self.host}:{self.port}{wire.API_PATH}"

    # -- what tests use -----------------------------------------------------------------------
    def login(self, user: str) -> str:
        """A new session of a user of the topology, as its login would give it."""
        if user not in self.topology.users:
            raise ValueError(f"no user {user} in the topology")
        return self.controller.new_session(user)

    def expire_sessions(self) -> None:
        """Every CID handed out so far is refused from now on."""
        self.controller.expire_sessions()

    def attachments(self) -> dict[str, tuple[str, list[str]]]:
        """{spoke: (transit, ["route-table:resource-group", ...])} of the attached spokes."""
        with self.controller.lock:
            return {
                spoke: (a.transit, [t.entry() for t in a.route_tables])
                for spoke, a in self.controller.state.attachments.items()
            }

    def domain_attachments(self, domain: str) -> list[str]:
        with self.controller.lock:
            return list(self.controller.state.domains[domain])

    @property
    def actions(self) -> list[str]:
        """The action of every request received, in order."""
        with self._actions_lock:
            return list(self._actions)

    # -- serving one request ------------------------------------------------------------------
    def handle(self, method: str, target: str, body: bytes) -> Answer:
        if urlsplit(target).path.rstrip("/") != wire.API_PATH:
            return Answer(404, refusal(f"No API at {urlsplit(target).path}; use {wire.API_PATH}."))
        if method != "POST":
            return Answer(405, refusal("The API takes form POSTs."))
        form = dict(parse_qsl(body.decode("utf-8", "replace"), keep_blank_values=True))
        action = form.get(wire.ACTION, "")
        with self._actions_lock:
            self._actions.append(action)
        injected = self.faults.take(action)
        if injected is not None:
            return Answer(injected.status, refusal(injected.reason))
        try:
            return Answer(200, {"return": True, "results": self.controller.perform(form)})
        except Refused as refused:
            log.info("ctrlsim: %s refused: %s", action or "request", refused.reason)
            return Answer(200, refusal(refused.reason))
        except Exception as error:  # answer like a server would, and keep serving
            log.exception("ctrlsim failed on %s", action)
            return Answer(500, refusal(f"Internal error: {error!r}"))


def refusal(reason: str) -> dict[str, Any]:
    return {"return": False, "reason": reason}


class _Server(ThreadingHTTPServer):
    daemon_threads = True

    def __init__(
        self,
        address: tuple[str, int],
        handler: type[BaseHTTPRequestHandler],
        emulator: Emulator,
        context: ssl.SSLContext,
    ) -> None:
        self.emulator = emulator
        self.context = context
        super().__init__(address, handler)

    def get_request(self) -> tuple[socket.socket, Any]:
        sock, address = super().get_request()
        # The handshake runs on the request's own thread (see _Handler.setup).
        return self.context.wrap_socket(
            sock, server_side=True, do_handshake_on_connect=False
        ), address

    def handle_error(self, request: Any, client_address: Any) -> None:
        log.debug("ctrlsim: connection from %s ended with an error", client_address, exc_info=True)


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    timeout = 30
    disable_nagle_algorithm = True
    server: _Server

    def setup(self) -> None:
        super().setup()
        try:
            self.request.do_handshake()
            self.handshaken = True
        except (ssl.SSLError, OSError) as error:
            log.debug("ctrlsim: TLS handshake failed: %s", error)
            self.handshaken = False

    def handle(self) -> None:
        if self.handshaken:
            super().handle()

    def handle_one(self) -> None:
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length else b""
        answer = self.server.emulator.handle(self.command, self.path, body)
        payload = json.dumps(answer.body).encode()
        self.send_response(answer.status)
        self.send_header("Content-Type", "application/json; charset=utf-8")
        self.send_header("Content-Length", str(len(payload)))
        self.end_headers()
        self.wfile.write(payload)

    do_GET = do_POST = do_PUT = do_DELETE = handle_one

    def log_message(self, format: str, *args: Any) -> None:  # noqa: A002 - the base class names it so
        log.debug("%s %s", self.address_string(), format % args)
