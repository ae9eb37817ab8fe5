"""Per-call overhead of the client's verbs against the same request made with
a raw requests.Session carrying the same headers, on a loopback keep-alive
server in its own process.

The two sides run interleaved in blocks (the side that goes first alternates)
so that drift of a shared machine falls on both alike; each call is timed on
its own and the medians are compared.

Each side rotates, block by block, through several sessions (several clients
on the client side, several raw sessions on the other), each with its own
keep-alive connection: the cost of a call differs from one connection to the
next by a few per cent, for reasons outside the client (seen here: two raw
sessions set up alike measured up to 7 % apart, steadily within a run), and
a single pair of sessions would add that difference to the ratio.
"""

from __future__ import annotations

import logging
import os
import time
from typing import Callable

import requests

from quillon_agent import platform_client
from quillon_agent.config import Config

from report import Comparison, NotMeasured, median
from servers import start_fixed_answer_server

TOKEN = "tok-bench-0123456789abcdef"
SESSIONS_PER_SIDE = 4
TIMEOUT = 30.0

STATUS_PAYLOAD = {
    "engagement_name": "pipeline-4711",
    "branch_name": "main",
    "repository_id": 17,
    "engagement_status": "finished",
}
GROUP_FORM = {"name": "backend", "web_url": "https://git.example.com/backend"}


def _agent_logging(verbose: bool, formatted: bool = False) -> None:
    """The logger at INFO, or at DEBUG for a verbose client. Verbose lines go
    to a handler that drops them, so that the ratio is the client's own cost
    of verbose mode: its extra work and its records made and handed on
    through the standard logger. With `formatted`, they go through the
    command line's formatter to /dev/null instead, which adds the host's
    handler's cost (reported beside it, with no goal: the client has no say
    in it)."""
    logger = logging.getLogger("quillon_agent")
    for handler in list(logger.handlers):
        logger.removeHandler(handler)
    if formatted:
        handler = logging.StreamHandler(open(os.devnull, "w"))
        handler.setFormatter(logging.Formatter("%(asctime)s %(levelname)-7s %(message)s", "%H:%M:%S"))
    else:
        handler = logging.NullHandler()
    logger.addHandler(handler)
    logger.propagate = False
    logger.setLevel(logging.DEBUG if verbose else logging.INFO)


def _time_blocks(sides: dict[str, list[Callable[[], object]]], blocks: int, per_block: int):
    """Per-call CPU and wall times (ns) of each side, run in alternating
    blocks; each block of a side uses the next of its equivalent calls."""
    cpu = {name: [] for name in sides}
    wall = {name: [] for name in sides}
    names = list(sides)
    process_ns, counter_ns = time.process_time_ns, time.perf_counter_ns
    for block in range(blocks + 1):
        order = names if block % 2 == 0 else names[::-1]
        for name in order:
            choices = sides[name]
            call = choices[(block // 2) % len(choices)]  # each one both first and second in turn
            cpu_samples, wall_samples = cpu[name], wall[name]
            for _ in range(per_block):
                c0 = process_ns()
                w0 = counter_ns()
                call()
                w1 = counter_ns()
                c1 = process_ns()
                if block:  # block 0 warms connections, caches and lazy imports
                    cpu_samples.append(c1 - c0)
                    wall_samples.append(w1 - w0)
    return cpu, wall


def _cases(server_url: str):
    """(name, goal ratio or None, logging (verbose, formatted), client calls,
    raw calls (one per session), result check, client, request of the same
    call for the step breakdown)."""
    Endpoints = platform_client.Endpoints
    get_path = Endpoints.STATUS.format("3f2a9c1")
    get_url = server_url + get_path
    json_url = server_url + Endpoints.ENGAGEMENT_STATUS
    form_url = server_url + Endpoints.GROUP

    def raw_session():
        session = requests.Session()
        session.headers.update({"Authorization": TOKEN, "Accept": "application/json"})
        return session

    def client(verbose: bool):
        return platform_client.PlatformClient(
            Config(platform_url=server_url, api_token=TOKEN, timeout=TIMEOUT, verbose=verbose))

    def raw_calls(session):
        return {
            "get": lambda: session.get(get_url, timeout=TIMEOUT, allow_redirects=False).json(),
            "post_json": lambda: session.post(json_url, json=STATUS_PAYLOAD, timeout=TIMEOUT,
                                              allow_redirects=False).json(),
            "post_form": lambda: session.post(form_url, data=GROUP_FORM, timeout=TIMEOUT, allow_redirects=False),
        }

    def client_calls(quiet, loud):
        return {
            "get": lambda: quiet.get(get_path),
            "get verbose": lambda: loud.get(get_path),
            "post_json": lambda: quiet.post_json(Endpoints.ENGAGEMENT_STATUS, STATUS_PAYLOAD,
                                                 context="update engagement status", default_exit=6),
            "post_form": lambda: quiet._post_form_response(Endpoints.GROUP, GROUP_FORM, "create group"),
        }

    clients = [(client(False), client(True)) for _ in range(SESSIONS_PER_SIDE)]
    ours = [client_calls(quiet, loud) for quiet, loud in clients]
    theirs = [raw_calls(raw_session()) for _ in range(SESSIONS_PER_SIDE)]
    quiet, loud = clients[0]

    def each(calls, name):
        return [side[name] for side in calls]

    same_json = lambda ours, theirs: ours == theirs  # noqa: E731
    same_status = lambda ours, theirs: ours.status_code == theirs.status_code and ours.content == theirs.content  # noqa: E731
    return [
        ("get", 1.06, (False, False), each(ours, "get"), each(theirs, "get"), same_json, quiet,
         requests.Request("GET", get_url)),
        ("get verbose", 1.18, (True, False), each(ours, "get verbose"), each(theirs, "get"), same_json, loud,
         requests.Request("GET", get_url)),
        ("get verbose, formatted", None, (True, True), each(ours, "get verbose"), each(theirs, "get"), same_json,
         loud, requests.Request("GET", get_url)),
        ("post_json", 1.08, (False, False), each(ours, "post_json"), each(theirs, "post_json"), same_json, quiet,
         requests.Request("POST", json_url, json=STATUS_PAYLOAD)),
        ("_post_form_response", 1.08, (False, False), each(ours, "post_form"), each(theirs, "post_form"),
         same_status, quiet, requests.Request("POST", form_url, data=GROUP_FORM)),
    ]


def _step_costs(client, request: requests.Request, repeat: int = 300) -> str:
    """Median µs of the client's own steps around one request: what the
    per-call ratio pays on top of the raw call (the raw side decodes JSON
    too, so _handle_response is shown next to a bare Response.json())."""
    prepared = client._session.prepare_request(request)
    response = client._session.send(prepared, timeout=TIMEOUT, allow_redirects=False)

    def cost(call) -> float:
        samples = []
        for _ in range(repeat):
            start = time.perf_counter_ns()
            call()
            samples.append(time.perf_counter_ns() - start)
        return median(samples) / 1e3

    steps = {"_curl_command": lambda: client._curl_command(prepared)}
    if client.verbose:
        steps["_log_response_status"] = lambda: client._log_response_status(
            request.method, response, log_url=True, log_label=None)
        if request.json is not None:
            steps["_log_request_attempt_payload"] = lambda: client._log_request_attempt_payload(request.json)
    if request.method == "GET" or request.json is not None:
        steps["_handle_response"] = lambda: client._handle_response(response, "bench")
        steps["Response.json (raw side too)"] = response.json
    return ", ".join(f"{name} {cost(call):.1f} µs" for name, call in steps.items())


def run(scale: float = 1.0) -> list:
    blocks = max(10, int(600 * scale))
    per_block = 5  # short blocks: drift of a shared machine falls on both sides alike
    results = []
    with start_fixed_answer_server() as server:
        print(f"# per-call server: {server.description} at {server.url}; "
              f"{blocks} blocks of {per_block} calls per side, after one warm-up block; "
              f"{SESSIONS_PER_SIDE} sessions per side in turn", flush=True)
        for name, goal, logging_setup, ours, theirs, same, client, request in _cases(server.url):
            _agent_logging(*logging_setup)
            problem = None
            try:
                if not all(same(mine(), raw()) for mine, raw in zip(ours, theirs)):
                    problem = "the client's result differs from the raw call's"
            except NotImplementedError as error:
                problem = str(error)
            if problem:
                results.append(NotMeasured(name, problem))
                print(results[-1].line(), flush=True)
                continue
            cpu, wall = _time_blocks({"client": ours, "raw": theirs}, blocks, per_block)
            for figure, samples in (("cpu/call", cpu), ("wall/call", wall)):
                a, b = median(samples["client"]) / 1e3, median(samples["raw"]) / 1e3
                if goal is None:
                    results.append(Comparison(name, figure, a, b, "µs", "reported only", None))
                else:
                    results.append(Comparison(name, figure, a, b, "µs", f"ratio <= {goal:.2f}", a / b <= goal))
            print(results[-2].line(), flush=True)
            print(results[-1].line(), flush=True)
            print(f"#   client steps: {_step_costs(client, request)}", flush=True)
    _agent_logging(False)
    return results
