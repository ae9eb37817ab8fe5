"""Shared fixtures: the compiled module, configurations and clients."""

from __future__ import annotations

import logging

import pytest
from support import FakeConfig


@pytest.fixture(scope="session")
def pc():
    """The compiled platform_client module."""
    from quillon_agent import platform_client

    return platform_client


@pytest.fixture
def make_config():
    return FakeConfig


@pytest.fixture
def make_client(pc, make_config):
    def make(**overrides):
        return pc.PlatformClient(make_config(**overrides))

    return make


@pytest.fixture
def client(make_client):
    return make_client()


@pytest.fixture
def server_client(httpserver, make_client):
    """A client of pytest-httpserver's loopback server."""
    return make_client(platform_url=httpserver.url_for("").rstrip("/"))


@pytest.fixture
def refused_base_url():
    """A loopback URL whose port nobody listens on: connections are refused."""
    import socket

    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        port = sock.getsockname()[1]
    return f"http://127.0.0.1:{port}"


@pytest.fixture
def no_sleep(monkeypatch, pc):
    """Records the pauses the retry loop asks for instead of waiting them.

    Rebinds the module's `time` global (the module looks it up at each use),
    so servers running in test threads keep the real time.sleep."""
    import time as real_time
    import types

    pauses: list[float] = []
    fake_time = types.SimpleNamespace(**{n: getattr(real_time, n) for n in dir(real_time) if not n.startswith("__")})
    fake_time.sleep = pauses.append
    monkeypatch.setattr(pc, "time", fake_time)
    return pauses


@pytest.fixture
def agent_log(caplog):
    """Captures everything the module logs on the "quillon_agent" logger."""
    caplog.set_level(logging.DEBUG, logger="quillon_agent")
    return caplog


@pytest.fixture(autouse=True)
def _restore_logger_level():
    logger = logging.getLogger("quillon_agent")
    level = logger.level
    yield
    logger.setLevel(level)
