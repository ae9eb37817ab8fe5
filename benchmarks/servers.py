"""The loopback servers the benchmarks talk to, each in its own process so
that serving a request never costs the measured process any CPU time."""

from __future__ import annotations

import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent

# What every per-call request gets back; the fallback server answers the same.
FIXED_BODY = '{"id": 42, "name": "bench", "status": "ok"}'

_NGINX_CONF = """\
# One process, no master: nothing to setuid, nothing left behind.
master_process off;
daemon off;
worker_processes 1;
pid {tmp}/nginx.pid;
error_log stderr error;
events {{ worker_connections 128; }}
http {{
    access_log off;
    client_body_temp_path {tmp}/body;
    proxy_temp_path {tmp}/proxy;
    fastcgi_temp_path {tmp}/fastcgi;
    uwsgi_temp_path {tmp}/uwsgi;
    scgi_temp_path {tmp}/scgi;
    keepalive_requests 10000000;
    keepalive_timeout 600s;
    server {{
        listen 127.0.0.1:{port};
        default_type application/json;
        location / {{ return 200 '{body}'; }}
    }}
}}
"""


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def _wait_listening(port: int, process: subprocess.Popen, deadline: float = 10.0) -> None:
    end = time.monotonic() + deadline
    while time.monotonic() < end:
        if process.poll() is not None:
            raise RuntimeError(f"server exited with status {process.returncode} before listening")
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.2):
                return
        except OSError:
            time.sleep(0.02)
    raise RuntimeError(f"nothing listens on 127.0.0.1:{port} after {deadline} s")


class ServerProcess:
    """A server child process; stopped (by its own pid) when the block ends."""

    def __init__(self, argv: list[str], description: str, port: int | None = None,
                 cleanup: tempfile.TemporaryDirectory | None = None) -> None:
        self.description = description
        self._cleanup = cleanup
        self.process = subprocess.Popen(argv, stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True)
        try:
            if port is None:
                # Our Python servers bind port 0 and say which port they got.
                line = self.process.stdout.readline()
                if not line.startswith("PORT "):
                    raise RuntimeError(f"{description}: unexpected first line {line!r}")
                port = int(line.split()[1])
            _wait_listening(port, self.process)
        except BaseException:
            self.stop()
            raise
        self.port = port
        self.url = f"http://127.0.0.1:{port}"

    def stop(self) -> None:
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        if self.process.stdout:
            self.process.stdout.close()
        if self._cleanup is not None:
            self._cleanup.cleanup()
            self._cleanup = None

    def __enter__(self) -> "ServerProcess":
        return self

    def __exit__(self, *exc_info) -> None:
        self.stop()


def find_nginx() -> str | None:
    return shutil.which("nginx") or next(
        (p for p in ("/usr/sbin/nginx", "/usr/local/sbin/nginx") if os.access(p, os.X_OK)), None
    )


def start_fixed_answer_server() -> ServerProcess:
    """nginx serving FIXED_BODY if it is installed, else our asyncio server."""
    nginx = find_nginx()
    if nginx and not os.environ.get("BENCH_NO_NGINX"):
        tmp = tempfile.TemporaryDirectory(prefix="bench-nginx-")
        port = free_port()
        conf = Path(tmp.name) / "nginx.conf"
        conf.write_text(_NGINX_CONF.format(tmp=tmp.name, port=port, body=FIXED_BODY))
        return ServerProcess([nginx, "-p", tmp.name, "-e", "stderr", "-c", str(conf)],
                             "nginx (own process, keep-alive, fixed JSON answer)", port=port, cleanup=tmp)
    return ServerProcess([sys.executable, str(HERE / "fixed_answer_server.py")],
                         "fallback: Python asyncio server (own process; nginx not installed)")


def start_drain_server() -> ServerProcess:
    return ServerProcess([sys.executable, str(HERE / "drain_server.py")],
                         "Python draining server (own process)")
