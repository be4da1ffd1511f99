import logging

import pytest

import qn.arm.switchlib as switchlib
from fakes import FakeAzure, FakeTerraform, fake_common, fake_yaml_context

LOGGER = "qn.arm.switchlib"


@pytest.fixture(autouse=True)
def clean_class():
    """Operations share class state; every test starts from a fresh dry-run flag."""
    switchlib.SwitchTraffic.DryRun = False
    yield
    switchlib.SwitchTraffic.DryRun = False


@pytest.fixture
def ST():
    return switchlib.SwitchTraffic


class LogLines:
    def __init__(self, caplog):
        self._caplog = caplog

    def lines(self, level=None):
        """(level name, message) pairs of the library's logger, in order."""
        return [
            (r.levelname, r.getMessage())
            for r in self._caplog.records
            if r.name == LOGGER and (level is None or r.levelname == level)
        ]

    def messages(self, level=None):
        return [m for _, m in self.lines(level)]

    def clear(self):
        self._caplog.clear()


@pytest.fixture
def logs(caplog):
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    return LogLines(caplog)


@pytest.fixture
def azure(monkeypatch):
    """The fake cloud, reached through the module's client names."""
    world = FakeAzure()
    monkeypatch.setattr(switchlib, "NetworkManagementClient", world.NetworkManagementClient)
    monkeypatch.setattr(switchlib, "ManagementLockClient", world.ManagementLockClient)
    return world


@pytest.fixture
def terraform(monkeypatch):
    writer = FakeTerraform()
    monkeypatch.setattr(switchlib, "tf", writer)
    return writer


@pytest.fixture
def use_yaml_context(monkeypatch):
    """Installs a fake YamlContext: use_yaml_context(subscriptions=..., settings=...)."""

    def install(subscriptions=(), settings=None):
        context = fake_yaml_context(subscriptions, settings)
        monkeypatch.setattr(switchlib, "yctx", context)
        return context

    return install


@pytest.fixture
def use_prefixes(monkeypatch):
    """Installs a Common whose main-table prefixes are the given {vnet name: prefix}."""

    def install(prefixes=None):
        common = fake_common(prefixes)
        monkeypatch.setattr(switchlib, "common", common)
        return common

    return install
