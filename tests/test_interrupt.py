"""Ctrl-C with VNets run by worker threads: each worker's write in flight gets its answer, then
that worker stops; the main thread raises KeyboardInterrupt once the block ends."""

import logging
import signal
import threading
from types import SimpleNamespace

import pytest
from azure.core.credentials import AccessToken
from azure.core.pipeline.transport import HttpTransport
from azure.core.rest._http_response_impl import HttpResponseImpl

from qn.arm.res import cloud
from qn.arm.switch_traffic import interrupt

WORKERS = 2


class Token:
    def get_token(self, *scopes, **kwargs):
        return AccessToken("token", 2**31)


class SlowAzure(HttpTransport):
    """Holds every write until released, as Azure takes its time to answer one."""

    def __init__(self) -> None:
        self.in_flight = threading.Barrier(WORKERS + 1)
        self.release = threading.Event()
        self.received: list[str] = []
        self.answered: list[str] = []

    def send(self, request, **kwargs):
        self.received.append(f"{request.method} {request.url}")
        if request.method != "GET":
            self.in_flight.wait(timeout=10)
            assert self.release.wait(timeout=10)
        self.answered.append(request.url)
        response = HttpResponseImpl(
            request=request,
            internal_response=SimpleNamespace(close=lambda: None),
            status_code=200,
            reason="OK",
            content_type="application/json",
            headers={"Content-Type": "application/json"},
            stream_download_generator=None,
        )
        response._content = b"{}"
        return response

    def open(self) -> None: ...
    def close(self) -> None: ...
    def __exit__(self, *args) -> None: ...


def test_each_worker_stops_after_the_answer_to_its_write(caplog):
    azure = SlowAzure()
    stopped: dict[str, BaseException] = {}
    polled: list[object] = []

    def worker(name: str) -> None:
        client = cloud.NetworkManagementClient(Token(), "sub", transport=azure)
        try:
            client.subnets.begin_create_or_update("rg", "vn", name, {}).result()
        except BaseException as error:
            stopped[name] = error
        try:
            client.subnets.get("rg", "vn", name)  # its next request is never sent
        except BaseException as error:
            stopped[name + " next"] = error

    def worker_poll() -> None:
        client = cloud.NetworkManagementClient(Token(), "sub", transport=azure)
        polled.append(client.subnets.get("rg", "vn", "p"))

    with pytest.raises(KeyboardInterrupt) as raised:
        with interrupt.writes_finish_first(logging.getLogger("qn.arm.test")):
            workers = [threading.Thread(target=worker, args=(f"s{n}",)) for n in range(WORKERS)]
            for thread in workers:
                thread.start()
            azure.in_flight.wait(timeout=10)  # both writes sent, neither answered
            assert not interrupt.stopping()
            signal.raise_signal(signal.SIGINT)  # held back: writes are in flight
            assert interrupt.stopping()
            azure.release.set()
            for thread in workers:
                thread.join(timeout=10)
            # The SDK's poll of an operation Azure accepted goes on: its waiting worker would
            # take a poll cut off for the operation's end.
            poll = threading.Thread(target=worker_poll, name="LROPoller(test)")
            poll.start()
            poll.join(timeout=10)

    assert type(raised.value) is KeyboardInterrupt and not interrupt.stopping()
    assert "Ctrl-C: stopping once Azure answers the write in flight" in caplog.text
    # Both writes were answered, and nothing but the poll was sent after them.
    assert [request.split()[0] for request in azure.received] == ["PUT"] * WORKERS + ["GET"]
    assert len(azure.answered) == WORKERS + 1 and len(polled) == 1
    assert sorted(stopped) == ["s0", "s0 next", "s1", "s1 next"]
    assert all(isinstance(error, interrupt.Stopped) for error in stopped.values())
