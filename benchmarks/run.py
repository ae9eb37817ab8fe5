"""Side-by-side benchmarks of the platform client. `make bench` runs them all.

    python benchmarks/run.py [--only calls,upload,progress,redaction] [--scale 0.2]

Prints one line per compared pair (the two figures, their ratio, the goal)
and exits 1 when a goal is missed or could not be measured. --scale shrinks
the run for a quick look (below 0.5 the uploads use 64 MiB, not 1 GiB)."""

from __future__ import annotations

import argparse
import os
import platform
import sys
import sysconfig
import time
from pathlib import Path

GROUPS = ("calls", "upload", "progress", "redaction")


def _check_build() -> str:
    from quillon_agent import platform_client

    location = Path(platform_client.__file__).resolve()
    site = Path(sysconfig.get_paths()["purelib"]).resolve()
    if site not in location.parents and not os.environ.get("BENCH_ALLOW_DEV_BUILD"):
        sys.exit(f"benchmarks measure the installed (optimised) build; found {location}. "
                 "Run `make bench`, or set BENCH_ALLOW_DEV_BUILD=1 to measure this one anyway.")
    return str(location)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--only", default=",".join(GROUPS), help="comma-separated groups: " + ", ".join(GROUPS))
    parser.add_argument("--scale", type=float, default=float(os.environ.get("BENCH_SCALE", "1")))
    options = parser.parse_args()
    chosen = [g.strip() for g in options.only.split(",") if g.strip()]
    unknown = set(chosen) - set(GROUPS)
    if unknown:
        parser.error(f"unknown groups: {', '.join(sorted(unknown))}")

    module = _check_build()
    print(f"# {platform.python_implementation()} {platform.python_version()}, {os.cpu_count()} cpus, "
          f"load {os.getloadavg()[0]:.2f}; module {module}; scale {options.scale}", flush=True)
    started = time.monotonic()
    results = []
    if "calls" in chosen:
        import bench_calls
        results += bench_calls.run(options.scale)
    if "upload" in chosen:
        import bench_upload
        results += bench_upload.run(options.scale)
    if "progress" in chosen:
        import bench_progress
        results += bench_progress.run(options.scale)
    if "redaction" in chosen:
        import bench_redaction
        results += bench_redaction.run(options.scale)

    print(f"\n# summary ({time.monotonic() - started:.0f} s, load {os.getloadavg()[0]:.2f} at the end)")
    for result in results:
        print(result.line())
    missed = [r for r in results if r.met is False]
    print(f"# {len(missed)} goal(s) missed" if missed else "# all goals met")
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())
