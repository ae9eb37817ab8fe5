"""One upload in a fresh process, so that its peak RSS is its own.

    python upload_child.py client|progress|raw BASE_URL FILE

"progress" is "client" inside the command line's upload progress, drawing its
terminal line (to /dev/null) as it would on a TTY.

Prints one JSON object: wall and CPU seconds taken, RSS before the upload and the peak
RSS during it (KiB), and how the peak was taken."""

from __future__ import annotations

import contextlib
import gc
import io
import json
import logging
import os
import sys
import time

import requests
from requests_toolbelt.multipart.encoder import MultipartEncoder

from quillon_agent import platform_client
from quillon_agent.config import Config
from quillon_agent.progress import upload_progress

TOKEN = "tok-bench-0123456789abcdef"
TIMEOUT = 600.0
FORM = {"scan_type": "semgrep", "engagement_name": "pipeline-4711", "repository_id": "17", "branch_name": "main"}


def _status_kib(field: str) -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"{field} not in /proc/self/status")


def _reset_peak() -> bool:
    # Writing 5 to clear_refs resets VmHWM to the current RSS (Linux >= 4.0).
    try:
        with open("/proc/self/clear_refs", "w") as clear_refs:
            clear_refs.write("5")
        return True
    except OSError:
        return False


class _NullTerminal(io.TextIOWrapper):
    def isatty(self) -> bool:
        return True


def main(side: str, base_url: str, path: str) -> None:
    logging.getLogger("quillon_agent").addHandler(logging.NullHandler())
    logging.getLogger("quillon_agent").propagate = False
    url = base_url + platform_client.Endpoints.SCAN
    if side in ("client", "progress"):
        client = platform_client.PlatformClient(Config(platform_url=base_url, api_token=TOKEN, timeout=TIMEOUT))

        def upload():
            return client.upload_report(path, FORM["scan_type"], FORM["engagement_name"], FORM["repository_id"],
                                        FORM["branch_name"])
    else:
        headers = {"Authorization": TOKEN, "Accept": "application/json"}

        def upload():
            with open(path, "rb") as f:
                encoder = MultipartEncoder(
                    fields={**FORM, "report": (os.path.basename(path), f, "application/octet-stream")})
                response = requests.post(url, data=encoder, headers={**headers, "Content-Type": encoder.content_type},
                                         timeout=TIMEOUT)
                response.raise_for_status()
                return response.json()

    watching = contextlib.nullcontext()
    if side == "progress":
        watching = upload_progress(stream=_NullTerminal(open(os.devnull, "wb")))

    gc.collect()
    exact_peak = _reset_peak()
    rss_before = _status_kib("VmRSS")
    start, cpu_start = time.perf_counter(), time.process_time()
    with watching:
        answer = upload()
    seconds, cpu_seconds = time.perf_counter() - start, time.process_time() - cpu_start
    peak = _status_kib("VmHWM") if exact_peak else max(_status_kib("VmHWM"), rss_before)
    json.dump({"seconds": seconds, "cpu_seconds": cpu_seconds, "rss_before_kib": rss_before, "peak_kib": peak,
               "peak_method": "VmHWM reset before the upload" if exact_peak else "VmHWM over the process life",
               "answer": answer}, sys.stdout)


if __name__ == "__main__":
    main(*sys.argv[1:4])
