"""The controller emulator's HTTPS server and its in-process handle, `Emulator`.

TLS uses a certificate authority made for the emulator (the Azure emulator's certificates.py),
kept across stop() and start(): a client that trusts it still does when the controller comes
back after an outage.
"""

import logging
import ssl
import threading
from dataclasses import dataclass
from types import TracebackType
from typing import Any, Self
from urllib.parse import parse_qsl, urlsplit

from qn.arm.armsim.certificates import make_certificates
from qn.arm.emulator.serving import CertificateDirectory, Serving, TlsHandler, TlsServer

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
        self._certificates = CertificateDirectory(cert_dir, "ctrlsim-")
        self._context: ssl.SSLContext | None = None
        self.ca_file: str | None = None
        self._serving: Serving[Emulator] = Serving(_Handler, log)
        self._actions: list[str] = []
        self._actions_lock = threading.Lock()

    # -- lifecycle ----------------------------------------------------------------------------
    def start(self) -> Self:
        """Serves (again, after stop(): same port, same certificate authority)."""
        if self._serving.running:
            return self
        if self._context is None:
            directory = self._certificates.path()
            self._context, self.ca_file = make_certificates(directory, self.host, CA_FILE_NAME)
        self.port = self._serving.start(self, (self.host, self.port), self._context)
        log.info("ctrlsim serving %s", self.endpoint)
        return self

    def stop(self) -> None:
        """Stops serving: connections are refused until start(). Sessions and attachments stay."""
        if self._serving.stop():
            log.info("ctrlsim stopped")

    def close(self) -> None:
        """Stops serving for good and removes the certificate directory it made."""
        self.stop()
        self._certificates.remove()

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


class _Handler(TlsHandler):
    server: TlsServer[Emulator]

    def handle_one(self) -> None:
        answer = self.server.emulator.handle(self.command, self.path, self.read_body())
        self.send_json(answer.status, answer.body)

    do_GET = do_POST = do_PUT = do_DELETE = handle_one
