"""python -m quillon_agent.simulator: serve the fake platform until interrupted."""

import argparse
import os
import signal
import sys
import threading
from typing import Optional, Sequence

from .server import Simulator


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m quillon_agent.simulator",
        description="Serve a local, in-memory stand-in for the platform API (for demos and manual testing).",
    )
    parser.add_argument("--host", default="127.0.0.1", help="address to listen on (default: %(default)s)")
    parser.add_argument(
        "--port", type=int, default=8080, help="port to listen on; 0 picks a free one (default: %(default)s)"
    )
    parser.add_argument(
        "--token",
        default=os.environ.get("QUILLON_API_TOKEN"),
        help="API token the simulator accepts (default: $QUILLON_API_TOKEN)",
    )
    parser.add_argument(
        "--scan-delay",
        type=float,
        default=0.0,
        help="seconds until a scan appears after a pipeline reports in (default: %(default)s)",
    )
    parser.add_argument(
        "--group-answer-omits-id",
        action="store_true",
        help="answer the group form without an id, as some platform versions do",
    )
    options = parser.parse_args(argv)
    if not options.token:
        parser.error("--token is required (or set QUILLON_API_TOKEN)")

    stopped = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stopped.set())
    simulator = Simulator(
        options.token,
        host=options.host,
        port=options.port,
        scan_delay=options.scan_delay,
        group_answer_omits_id=options.group_answer_omits_id,
    )
    with simulator:
        print(f"Platform simulator listening on {simulator.url}", flush=True)
        try:
            stopped.wait()
        except KeyboardInterrupt:
            pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
