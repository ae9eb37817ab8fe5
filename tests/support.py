"""Helpers shared by the test modules (fixtures live in conftest.py)."""

from __future__ import annotations

import dataclasses
import os
from pathlib import Path

import quillon_agent

TOKEN = "tok-SECRET-1234567890"
# Subprocesses import the very package this run imported: the source tree with an
# in-place build, an installed wheel, or a sanitizer build put first on PYTHONPATH.
PYTHON_DIR = str(Path(quillon_agent.__file__).resolve().parents[1])


@dataclasses.dataclass
class FakeConfig:
    platform_url: str = "http://127.0.0.1:9"
    api_token: str | None = TOKEN
    insecure: bool = False
    ca_bundle: str | None = None
    timeout: float = 5
    verbose: bool = False


def new_client(pc, token=TOKEN, verbose=False, cls=None, **settings):
    """A client (or one of `cls`, a subclass) built outside any fixture, as hypothesis tests need."""
    return (cls or pc.PlatformClient)(FakeConfig(api_token=token, verbose=verbose, **settings))


def subprocess_env(base=None, **extra):
    """An environment (os.environ unless `base`) whose Python imports this run's package first."""
    env = dict(os.environ if base is None else base)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [PYTHON_DIR, os.environ.get("PYTHONPATH")]))
    env.update(extra)
    return env
