"""A loopback HTTP/1.1 server that reads and discards request bodies.

Run as its own process: it prints "PORT <n>" once it listens. Every POST body
is drained in large reads and its size recorded; GET /received answers the
recorded (path, body size) list as JSON. A path under "/fail-once-" answers
its first request with 503 and Retry-After: 0 (after draining the body, as a
real server behind a busy upstream would) and later requests with 200.
"""

from __future__ import annotations

import json
import sys
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

_CHUNK = 1 << 20

_lock = threading.Lock()
_received: list[tuple[str, int]] = []
_seen_paths: set[str] = set()


class DrainHandler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, format: str, *args) -> None:  # noqa: A002 - stdlib's name
        pass

    def _answer(self, status: int, body: bytes, extra: dict[str, str] | None = None) -> None:
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        for name, value in (extra or {}).items():
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(body)

    def _drain(self) -> int:
        buffer = bytearray(_CHUNK)
        view = memoryview(buffer)
        if self.headers.get("Transfer-Encoding", "").lower() == "chunked":
            total = 0
            while True:
                size = int(self.rfile.readline().split(b";")[0], 16)
                if size == 0:
                    while self.rfile.readline() not in (b"\r\n", b"\n", b""):
                        pass
                    return total
                left = size
                while left:
                    got = self.rfile.readinto(view[: min(left, _CHUNK)])
                    if not got:
                        raise ConnectionError("body ended early")
                    left -= got
                self.rfile.readline()
                total += size
        left = int(self.headers.get("Content-Length", "0"))
        total = left
        while left:
            got = self.rfile.readinto(view[: min(left, _CHUNK)])
            if not got:
                raise ConnectionError("body ended early")
            left -= got
        return total

    def do_POST(self) -> None:
        size = self._drain()
        with _lock:
            _received.append((self.path, size))
            first = self.path not in _seen_paths
            _seen_paths.add(self.path)
        if self.path.startswith("/fail-once-") and first:
            self._answer(503, b'{"detail": "busy"}', {"Retry-After": "0"})
        else:
            self._answer(200, b'{"id": 1, "status": "accepted"}')

    def do_GET(self) -> None:
        if self.path == "/received":
            with _lock:
                body = json.dumps(_received).encode()
            self._answer(200, body)
        else:
            self._answer(404, b"{}")


def main(port: int) -> None:
    server = ThreadingHTTPServer(("127.0.0.1", port), DrainHandler)
    server.daemon_threads = True
    print(f"PORT {server.server_address[1]}", flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 0)
