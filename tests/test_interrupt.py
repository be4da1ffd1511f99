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


class Gate:
    """Holds every write until released, as Azure takes its time to answer one."""

    def __init__(self) -> None:
        self.in_flight = threading.Barrier(WORKERS + 1)
        self.release = threading.Event()


class SlowAzure(HttpTransport):
    def __init__(self, gate: Gate) -> None:
        self.gate = gate
        self.received: list[str] = []

    def send(self, request, **kwargs):
        self.received.append(request.method)
        if request.method != "GET":
            self.gate.in_flight.wait(timeout=10)
            assert self.gate.release.wait(timeout=10)
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
    gate = Gate()
    names = [f"s{n}" for n in range(WORKERS)]
    azure = {name: SlowAzure(gate) for name in [*names, "poll"]}
    stopped: dict[str, BaseException] = {}
    polled: list[object] = []

    def worker(name: str, client: cloud.NetworkManagementClient) -> None:
        try:
            client.subnets.begin_create_or_update("rg", "vn", name, {}).result()
        except BaseException as error:
            stopped[name] = error
        try:
            client.subnets.get("rg", "vn", name)  # its next request is never sent
        except BaseException as error:
            stopped[name + " next"] = error

    def poll(client: cloud.NetworkManagementClient) -> None:
        polled.append(client.subnets.get("rg", "vn", "p"))

    with pytest.raises(KeyboardInterrupt) as raised:
        with interrupt.writes_finish_first(logging.getLogger("qn.arm.test")):
            # Every client is built before any sends: each one's requests reach its own Azure.
            clients = {
                name: cloud.NetworkManagementClient(Token(), "sub", transport=azure[name])
                for name in azure
            }
            workers = [threading.Thread(target=worker, args=(n, clients[n])) for n in names]
            for thread in workers:
                thread.start()
            gate.in_flight.wait(timeout=10)  # both writes sent, neither answered
            assert not interrupt.stopping()
            signal.raise_signal(signal.SIGINT)  # held back: writes are in flight
            assert interrupt.stopping()
            gate.release.set()
            for thread in workers:
                thread.join(timeout=10)
            # The SDK's poll of an operation Azure accepted goes on: its waiting worker would
            # take a poll cut off for the operation's end.
            poller = threading.Thread(target=poll, args=(clients["poll"],), name="LROPoller(x)")
            poller.start()
            poller.join(timeout=10)

    assert type(raised.value) is KeyboardInterrupt and not interrupt.stopping()
    assert "Ctrl-C: stopping once Azure answers the write in flight" in caplog.text
    # Each write was answered, and nothing but the poll was sent after them.
    assert {name: transport.received for name, transport in azure.items()} == {
        "s0": ["PUT"],
        "s1": ["PUT"],
        "poll": ["GET"],
    }
    assert len(polled) == 1
    assert sorted(stopped) == ["s0", "s0 next", "s1", "s1 next"]
    assert all(isinstance(error, interrupt.Stopped) for error in stopped.values())


@pytest.mark.parametrize("reading", [False, True], ids=["nothing in flight", "a read in flight"])
def test_a_ctrl_c_raised_at_once_is_the_blocks_to_handle(reading):
    try:
        with interrupt.writes_finish_first(logging.getLogger("qn.arm.test")):
            if reading:
                interrupt._current.sending(write=False)  # sent, not answered yet
            with pytest.raises(KeyboardInterrupt):
                signal.raise_signal(signal.SIGINT)  # no write in flight: at once
            # The block takes it for a no, as the plan's approval question does, and ends.
    except KeyboardInterrupt:
        pytest.fail("the Ctrl-C the block handled was raised again as it ended")


def test_a_signal_ignored_stays_ignored():
    # Under nohup a closed terminal's SIGHUP is ignored: the run goes on.
    previous = signal.signal(signal.SIGHUP, signal.SIG_IGN)
    try:
        with interrupt.writes_finish_first(logging.getLogger("qn.arm.test")):
            signal.raise_signal(signal.SIGHUP)
            assert not interrupt.stopping()
        assert signal.getsignal(signal.SIGHUP) is signal.SIG_IGN
    finally:
        signal.signal(signal.SIGHUP, previous)
