import logging
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))

import fakes  # noqa: E402

LOGGER = "tovana.connectors.chatferry"


@pytest.fixture
def cf(monkeypatch):
    import tovana.connectors.chatferry as module

    # get_chatferry() keeps its bridge in the module; every test starts without one.
    monkeypatch.setattr(module, "_bridge", None)
    return module


@pytest.fixture
def host(monkeypatch):
    h = fakes.Host()
    fakes.install(monkeypatch, h)
    return h


class Logs:
    def __init__(self, caplog):
        self.caplog = caplog

    @property
    def records(self):
        return [r for r in self.caplog.records if r.name == LOGGER]

    def lines(self):
        """(level name, message) of every record of the bridge's logger."""
        return [(r.levelname, r.getMessage()) for r in self.records]

    def at(self, level):
        return [r.getMessage() for r in self.records if r.levelname == level]

    def clear(self):
        self.caplog.clear()


@pytest.fixture
def logs(caplog):
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    yield Logs(caplog)
    # One positional, fully formatted text per call.
    for r in caplog.records:
        if r.name == LOGGER:
            assert r.args in ((), None), r
