"""The emulators' HTTPS server: a threaded standard-library server on a daemon thread of its
own, listening where the emulator says (the loopback interface, as they are built to).

Each connection's TLS handshake runs on that connection's thread, so one slow or broken client
cannot hold up the accepting loop. Log lines go to the emulator's logger and begin with its name.
"""

import json
import logging
import shutil
import socket
import ssl
import tempfile
import threading
from collections.abc import Mapping
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any, Generic, TypeVar

App = TypeVar("App")


class TlsServer(ThreadingHTTPServer, Generic[App]):
    """Serves `emulator`, which its handlers reach as `self.server.emulator`."""

    daemon_threads = True

    def __init__(
        self,
        address: tuple[str, int],
        handler: type["TlsHandler"],
        emulator: App,
        context: ssl.SSLContext,
        log: logging.Logger,
    ) -> None:
        self.emulator = emulator
        self.context = context
        self.log = log
        super().__init__(address, handler)

    def get_request(self) -> tuple[socket.socket, Any]:
        sock, address = super().get_request()
        # The handshake runs on the request's own thread (see TlsHandler.setup).
        return self.context.wrap_socket(
            sock, server_side=True, do_handshake_on_connect=False
        ), address

    def handle_error(self, request: Any, client_address: Any) -> None:
        self.log.debug(
            "%s: connection from %s ended with an error",
            self.log.name,
            client_address,
            exc_info=True,
        )


class TlsHandler(BaseHTTPRequestHandler):
    """A keep-alive connection of a TlsServer; subclasses answer its requests (do_GET, ...)."""

    protocol_version = "HTTP/1.1"
    timeout = 30
    # Headers and body leave in two writes; with Nagle's algorithm the body then waits for the
    # client's delayed acknowledgement of the headers, some 40 ms on every answer.
    disable_nagle_algorithm = True
    server: TlsServer[Any]

    def setup(self) -> None:
        super().setup()
        try:
            self.request.do_handshake()
            self.handshaken = True
        except (ssl.SSLError, OSError) as error:
            self.server.log.debug("%s: TLS handshake failed: %s", self.server.log.name, error)
            self.handshaken = False

    def handle(self) -> None:
        if self.handshaken:
            super().handle()

    def read_body(self) -> bytes:
        length = int(self.headers.get("Content-Length") or 0)
        return self.rfile.read(length) if length else b""

    def send_json(self, status: int, body: Any, headers: Mapping[str, str] | None = None) -> None:
        """Answers `body` as JSON (None: an empty body), with `headers` after the content's."""
        payload = b"" if body is None else json.dumps(body).encode()
        self.send_response(status)
        self.send_header("Content-Type", "application/json; charset=utf-8")
        self.send_header("Content-Length", str(len(payload)))
        for name, value in (headers or {}).items():
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(payload)

    def log_message(self, format: str, *args: Any) -> None:  # noqa: A002 - the base class names it so
        self.server.log.debug("%s %s", self.address_string(), format % args)


class Serving(Generic[App]):
    """An emulator's TlsServer on a daemon thread named after the emulator's logger and port."""

    def __init__(self, handler: type[TlsHandler], log: logging.Logger) -> None:
        self.handler = handler
        self.log = log
        self._server: TlsServer[App] | None = None
        self._thread: threading.Thread | None = None

    @property
    def running(self) -> bool:
        return self._server is not None

    def start(self, emulator: App, address: tuple[str, int], context: ssl.SSLContext) -> int:
        """Serves `emulator` at `address`; the port it listens on (the system's choice for 0)."""
        self._server = TlsServer(address, self.handler, emulator, context, self.log)
        port: int = self._server.server_address[1]
        self._thread = threading.Thread(
            target=self._server.serve_forever,
            args=(0.05,),
            name=f"{self.log.name}:{port}",
            daemon=True,
        )
        self._thread.start()
        return port

    def stop(self) -> bool:
        """Stops serving and frees the port; False when it was not serving."""
        if self._server is None:
            return False
        self._server.shutdown()
        self._server.server_close()
        if self._thread is not None:
            self._thread.join()
        self._server = None
        return True


class CertificateDirectory:
    """Where an emulator writes its certificate authority: the directory it was given, else a
    temporary one of its own, made when first asked for and deleted by remove()."""

    def __init__(self, given: str | None, prefix: str) -> None:
        self.given = given
        self.prefix = prefix
        self._own: str | None = None

    def path(self) -> str:
        if self.given is not None:
            return self.given
        if self._own is None:
            self._own = tempfile.mkdtemp(prefix=self.prefix)
        return self._own

    def remove(self) -> None:
        if self._own is not None:
            shutil.rmtree(self._own, ignore_errors=True)
            self._own = None
