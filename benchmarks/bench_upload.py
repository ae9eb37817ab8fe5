"""Streaming upload of a 1 GiB file: upload_report against a raw requests.post
of a MultipartEncoder with the same form, each in a fresh process, to a
draining server in its own process. Also an upload answered 503 then 200:
the second attempt must carry the whole file again, in flat memory."""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import requests

from report import Comparison, NotMeasured, median
from servers import HERE, start_drain_server

GIB = 1 << 30
MIB = 1 << 20
RSS_LIMIT_MIB = 32
THROUGHPUT_GOAL = 0.95


def _make_file(directory: str, size: int) -> str:
    path = os.path.join(directory, "report.json")
    block = os.urandom(MIB)  # incompressible, and written out: no sparse file
    with open(path, "wb") as f:
        for _ in range(size // MIB):
            f.write(block)
    return path


def _upload(side: str, base_url: str, path: str) -> dict:
    done = subprocess.run([sys.executable, str(HERE / "upload_child.py"), side, base_url, path],
                          capture_output=True, text=True, timeout=1800)
    if done.returncode != 0:
        last = (done.stderr.strip().splitlines() or ["no output"])[-1]
        raise RuntimeError(f"{side} upload failed: {last}")
    return json.loads(done.stdout)


def _bodies(server_url: str, path_prefix: str) -> list[int]:
    received = requests.get(server_url + "/received", timeout=30).json()
    return [size for path, size in received if path.startswith(path_prefix)]


def alternating_uploads(sides: tuple[str, str], reps: int, server_url: str, path: str, size: int) -> dict:
    """Each side's outcomes over `reps` rounds, the sides' order alternating,
    each upload in a fresh process; RuntimeError unless the server received
    one whole body per upload."""
    runs: dict[str, list] = {side: [] for side in sides}
    for rep in range(reps):
        for side in (sides if rep % 2 == 0 else sides[::-1]):
            prefix = f"/{side}-{rep}"
            outcome = _upload(side, server_url + prefix, path)
            sent = _bodies(server_url, prefix)
            if len(sent) != 1 or sent[0] < size:
                raise RuntimeError(f"{side} upload: the server received bodies of {sent} bytes")
            runs[side].append(outcome)
    return runs


def run(scale: float = 1.0) -> list:
    size = GIB if scale >= 0.5 else 64 * MIB
    reps = 5 if scale >= 1 else 1
    tmp_root = os.environ.get("BENCH_TMPDIR") or tempfile.gettempdir()
    free = shutil.disk_usage(tmp_root).free
    if free < size + 512 * MIB:
        reason = f"{free / GIB:.1f} GiB free in {tmp_root}, {size / GIB + 0.5:.1f} GiB needed"
        return [NotMeasured("upload_report 1 GiB", reason), NotMeasured("upload_report 503 then 200", reason)]

    results = []
    with tempfile.TemporaryDirectory(prefix="bench-upload-", dir=tmp_root) as tmp, start_drain_server() as server:
        path = _make_file(tmp, size)
        print(f"# upload: {size / MIB:.0f} MiB file in {tmp_root} ({free / GIB:.0f} GiB free before), "
              f"{server.description}; {reps} alternating fresh-process runs per side", flush=True)
        try:
            runs = alternating_uploads(("client", "raw"), reps, server.url, path, size)
        except (RuntimeError, NotImplementedError) as error:
            results.append(NotMeasured("upload_report 1 GiB", str(error)))
            print(results[-1].line(), flush=True)
        else:
            growth = {s: median([(r["peak_kib"] - r["rss_before_kib"]) / 1024 for r in runs[s]]) for s in runs}
            rate = {s: [size / MIB / r["seconds"] for r in runs[s]] for s in runs}
            # Runs of one rep are neighbours in time: their ratio is the least
            # touched by the drift of a shared machine.
            paired = median([c / r for c, r in zip(rate["client"], rate["raw"])])
            results.append(Comparison("upload_report 1 GiB", "peak RSS growth", growth["client"], growth["raw"],
                                      "MiB", f"client < {RSS_LIMIT_MIB} MiB", growth["client"] < RSS_LIMIT_MIB))
            print(results[-1].line(), flush=True)
            results.append(Comparison("upload_report 1 GiB", "throughput", median(rate["client"]), median(rate["raw"]),
                                      "MiB/s", f"ratio >= {THROUGHPUT_GOAL}", paired >= THROUGHPUT_GOAL,
                                      ratio=paired))
            print(results[-1].line(), flush=True)
            for side in runs:
                print(f"#   {side}: " + ", ".join(f"{size / MIB / r['seconds']:.0f} MiB/s ({r['cpu_seconds']:.1f} s CPU)"
                                                 for r in runs[side]), flush=True)
            print(f"#   peak taken as {runs['client'][0]['peak_method']}", flush=True)

        try:
            prefix = "/fail-once-client"
            outcome = _upload("client", server.url + prefix, path)
            sent = _bodies(server.url, prefix)
        except (RuntimeError, NotImplementedError) as error:
            results.append(NotMeasured("upload_report 503 then 200", str(error)))
        else:
            whole = len(sent) == 2 and sent[0] == sent[1] and sent[0] >= size
            growth_mib = (outcome["peak_kib"] - outcome["rss_before_kib"]) / 1024
            print(f"#   503 then 200: attempts received {sent} bytes (file {size} bytes), "
                  f"{2 * size / MIB / outcome['seconds']:.0f} MiB/s over both", flush=True)
            results.append(Comparison("upload_report 503 then 200", "peak RSS growth", growth_mib,
                                      None, "MiB", f"< {RSS_LIMIT_MIB} MiB, 2 whole bodies",
                                      whole and growth_mib < RSS_LIMIT_MIB))
        print(results[-1].line(), flush=True)
    return results
