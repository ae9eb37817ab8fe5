"""python -m quillon_agent.simulator: serve the fake platform until interrupted."""

import argparse
import os
import textwrap
import signal
import sys
import threading
from typing import List, Optional, Sequence, Tuple

from .api import ENDPOINTS
from .faults import FAULT_FORMS, Fault, FaultSyntaxError, parse_fault
from .server import Simulator

_EPILOG = f"""\
faults (--fault WHERE=WHAT[*COUNT], repeatable; each is played once, in order):
{textwrap.fill("WHERE is a path prefix such as /api/v1/git/ci-cd/scan, or one of " + ", ".join(ENDPOINTS) + ".", 78, initial_indent="  ", subsequent_indent="  ")}
  WHAT is one of
{FAULT_FORMS}
  *COUNT plays it COUNT times in a row. Requests after the faults are answered
  normally.

examples:
  --fault report=503:5*2            two 503s with Retry-After: 5 on report uploads
  --fault group=drop                the first group request loses its connection
  --fault all=html:502              one 502 HTML page from a proxy, on any request
  --fault 'group-search=status:500:{{"detail": "database down"}}'
  --fault all=redirect:https://platform.example/*3
"""


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m quillon_agent.simulator",
        description="Serve a local, in-memory stand-in for the platform API (for demos, manual "
        "testing and rehearsing a pipeline's failure handling).",
        epilog=_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
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
    parser.add_argument(
        "--fault",
        action="append",
        default=[],
        type=_fault,
        metavar="WHERE=WHAT[*COUNT]",
        help="answer a request with a fault instead (see below); repeat for several",
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
    for path, faults in options.fault:
        simulator.inject(path, faults)
    with simulator:
        print(f"Platform simulator listening on {simulator.url}", flush=True)
        try:
            stopped.wait()
        except KeyboardInterrupt:
            pass
    return 0


def _fault(text: str) -> Tuple[str, List[Fault]]:
    try:
        return parse_fault(text, ENDPOINTS)
    except FaultSyntaxError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


if __name__ == "__main__":
    sys.exit(main())
