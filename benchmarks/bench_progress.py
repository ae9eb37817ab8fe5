"""Upload progress of the command line: upload_report of a 1 GiB file inside
the counting encoder (drawing its terminal line) against the same upload
without it, each in a fresh process, alternating, to the draining server."""

from __future__ import annotations

import os
import shutil
import tempfile

from bench_upload import GIB, MIB, RSS_LIMIT_MIB, THROUGHPUT_GOAL, _make_file, alternating_uploads
from report import Comparison, NotMeasured, median
from servers import start_drain_server

def run(scale: float = 1.0) -> list:
    size = GIB if scale >= 0.5 else 64 * MIB
    reps = 5 if scale >= 1 else 2
    name = f"progress {size // GIB} GiB" if size >= GIB else f"progress {size // MIB} MiB"
    tmp_root = os.environ.get("BENCH_TMPDIR") or tempfile.gettempdir()
    free = shutil.disk_usage(tmp_root).free
    if free < size + 512 * MIB:
        return [NotMeasured(name, f"{free / GIB:.1f} GiB free in {tmp_root}, {size / GIB + 0.5:.1f} GiB needed")]

    results = []
    with tempfile.TemporaryDirectory(prefix="bench-progress-", dir=tmp_root) as tmp, start_drain_server() as server:
        path = _make_file(tmp, size)
        print(f"# progress: {size / MIB:.0f} MiB file, {server.description}; "
              f"{reps} alternating fresh-process runs per side", flush=True)
        try:
            runs = alternating_uploads(("progress", "client"), reps, server.url, path, size)
        except (RuntimeError, NotImplementedError) as error:
            results.append(NotMeasured(name, str(error)))
            print(results[-1].line(), flush=True)
            return results

    growth = median([(r["peak_kib"] - r["rss_before_kib"]) / 1024 for r in runs["progress"]])
    rate = {side: [size / MIB / r["seconds"] for r in runs[side]] for side in runs}
    # Runs of one rep are neighbours in time, so their ratio is the one least
    # moved by the drift of a shared machine.
    paired = median([p / c for p, c in zip(rate["progress"], rate["client"])])
    results.append(Comparison(name, "peak RSS growth", growth, None, "MiB", f"< {RSS_LIMIT_MIB} MiB",
                              growth < RSS_LIMIT_MIB, ours_label="progress"))
    print(results[-1].line(), flush=True)
    results.append(Comparison(name, "throughput", median(rate["progress"]), median(rate["client"]), "MiB/s",
                              f"ratio >= {THROUGHPUT_GOAL}", paired >= THROUGHPUT_GOAL, ours_label="progress",
                              theirs_label="plain", ratio=paired))
    print(results[-1].line(), flush=True)
    for side in runs:
        print(f"#   {side}: " + ", ".join(f"{size / MIB / r['seconds']:.0f} MiB/s ({r['cpu_seconds']:.1f} s CPU)"
                                         for r in runs[side]), flush=True)
    return results
