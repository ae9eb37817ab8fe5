"""The simulator: the platform API served on loopback from a background thread."""

from __future__ import annotations

import logging
import threading
import time
from typing import Any, Callable, Dict, Iterable, List, Optional

from werkzeug.serving import BaseWSGIServer, WSGIRequestHandler, make_server

from .api import PlatformApi, SimulatorSettings
from .faults import Fault, FaultPlan, path_within
from .recording import RecordedRequest, RequestJournal
from .state import API_INTEGRATION, PlatformState

logger = logging.getLogger("quillon_agent.simulator")


class _RequestHandler(WSGIRequestHandler):
    # Access lines go to our logger at DEBUG instead of Werkzeug's stderr handler.
    def log(self, type: str, message: str, *args: Any) -> None:
        text = message % args if args else message
        level = logging.WARNING if type == "error" else logging.DEBUG
        logger.log(level, "%s", text.rstrip())


class Simulator:
    """A fake platform for demos and tests.

    with Simulator(token="t") as sim:
        sim.inject("/api/v1/git/ci-cd/scan", [faults.unavailable(retry_after=0)])
        ...  # point a client at sim.url, then inspect sim.requests
    """

    def __init__(
        self,
        token: str = "test-token",
        *,
        host: str = "127.0.0.1",
        port: int = 0,
        scan_delay: Optional[float] = 0.0,
        group_answer_omits_id: bool = False,
        clock: Callable[[], float] = time.monotonic,
    ) -> None:
        self.state = PlatformState(clock)
        self.settings = SimulatorSettings(token, group_answer_omits_id, scan_delay)
        self.fault_plan = FaultPlan()
        self.journal = RequestJournal()
        self._app = PlatformApi(self.state, self.settings, self.fault_plan, self.journal)
        self._host = host
        self._port = port
        self._server: Optional[BaseWSGIServer] = None
        self._thread: Optional[threading.Thread] = None

    # Lifecycle.

    def start(self) -> "Simulator":
        if self._server is not None:
            raise RuntimeError("simulator already started")
        self._server = make_server(self._host, self._port, self._app, threaded=True, request_handler=_RequestHandler)
        self._thread = threading.Thread(
            target=self._server.serve_forever, kwargs={"poll_interval": 0.05}, name="quillon-simulator", daemon=True
        )
        self._thread.start()
        logger.debug("simulator listening on %s", self.url)
        return self

    def stop(self) -> None:
        if self._server is None:
            return
        self._server.shutdown()
        self._server.server_close()
        if self._thread is not None:
            self._thread.join()
        self._server = self._thread = None

    def __enter__(self) -> "Simulator":
        return self.start()

    def __exit__(self, *exc_info: object) -> None:
        self.stop()

    @property
    def url(self) -> str:
        """Base URL without a trailing slash, as the client expects it."""
        if self._server is None:
            raise RuntimeError("simulator not started")
        return f"http://{self._host}:{self._server.server_port}"

    @property
    def token(self) -> str:
        return self.settings.token

    # Fault injection.

    def inject(self, path_prefix: str, faults: Iterable[Fault], method: Optional[str] = None) -> None:
        """Play ``faults`` in order on the next requests to ``path_prefix`` or below it."""
        self.fault_plan.inject(path_prefix, faults, method)

    # Recorded requests.

    @property
    def requests(self) -> List[RecordedRequest]:
        return self.journal.entries()

    def requests_to(self, path_prefix: str, method: Optional[str] = None) -> List[RecordedRequest]:
        return [
            entry
            for entry in self.journal.entries()
            if path_within(entry.path, path_prefix) and method in (None, entry.method)
        ]

    def clear_requests(self) -> None:
        self.journal.clear()

    # Seeding.

    def add_group(self, name: str, web_url: Optional[str] = None, integration_type: str = "manual") -> Dict[str, Any]:
        """A group created outside the agent (by default a manual one, as a UI user would make)."""
        return self.state.add_group(name, web_url, integration_type).record()

    def add_scan(
        self,
        scan_id: str,
        *,
        group: str = "demo",
        repository: str = "app",
        branch: str = "main",
        group_url: Optional[str] = None,
        integration_type: str = API_INTEGRATION,
        appear_after: float = 0.0,
    ) -> Dict[str, Any]:
        """A scan the platform will show ``appear_after`` seconds from now, with its chain of entities."""
        group_entity, _ = self.state.upsert_group(group, group_url, integration_type)
        repository_entity, _ = self.state.upsert_repository(repository, group_entity.id, None)
        branch_entity, _ = self.state.upsert_branch(branch, repository_entity.id, None)
        engagement, _ = self.state.upsert_engagement(scan_id, branch_entity.id, "")
        return self.state.expect_scan(scan_id, engagement, appear_after).record()
