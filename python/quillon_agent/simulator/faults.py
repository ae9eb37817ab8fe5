"""Faults the simulator can play instead of (or before) a normal answer.

A fault is consumed by one request. ``apply`` returns the response to send,
or None to let the request be handled normally (after a delay, say).
"""

from __future__ import annotations

import json
import socket
import threading
import time
from collections import deque
from dataclasses import dataclass, field
from typing import Deque, Iterable, List, Mapping, Optional

from werkzeug.wrappers import Request, Response


class ConnectionDropped(ConnectionError):
    """Raised after the socket was shut down.

    Werkzeug's request handler treats ConnectionError as a client that went
    away, so nothing more is written and nothing is logged.
    """


class Fault:
    name = "fault"

    def apply(self, request: Request) -> Optional[Response]:
        raise NotImplementedError


@dataclass(frozen=True)
class Unavailable(Fault):
    """503 with a Retry-After header (omitted when None)."""

    retry_after: Optional[str] = "0"
    name = "unavailable"

    def apply(self, request: Request) -> Response:
        headers = {} if self.retry_after is None else {"Retry-After": str(self.retry_after)}
        return _json_response(503, {"detail": "Сервис временно недоступен"}, headers)


@dataclass(frozen=True)
class DropConnection(Fault):
    """Close the connection without sending a byte of an answer."""

    name = "drop"

    def apply(self, request: Request) -> Optional[Response]:
        sock = request.environ["werkzeug.socket"]
        try:
            sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        raise ConnectionDropped("connection dropped by fault injection")


@dataclass(frozen=True)
class Delay(Fault):
    """Wait, then answer normally: a delay beyond the client's time-out is a read time-out."""

    seconds: float
    name = "delay"

    def apply(self, request: Request) -> None:
        time.sleep(self.seconds)
        return None


_HTML_TEMPLATE = (
    "<!DOCTYPE html>\n<html>\n<head><title>{title}</title></head>\n"
    "<body><h1>{title}</h1><p>nginx</p></body>\n</html>\n"
)


@dataclass(frozen=True)
class HtmlPage(Fault):
    """An HTML page, as a proxy or a login portal in front of the platform would serve."""

    status: int = 200
    name = "html"

    def apply(self, request: Request) -> Response:
        title = "Sign in" if self.status == 200 else f"{self.status} Bad Gateway"
        return Response(_HTML_TEMPLATE.format(title=title), status=self.status, content_type="text/html")


@dataclass(frozen=True)
class Respond(Fault):
    """Any status with any body."""

    status: int
    body: str = ""
    content_type: str = "application/json"
    headers: Mapping[str, str] = field(default_factory=dict)
    name = "respond"

    def apply(self, request: Request) -> Response:
        return Response(self.body, status=self.status, content_type=self.content_type, headers=dict(self.headers))


def unavailable(retry_after: Optional[object] = 0) -> Unavailable:
    return Unavailable(None if retry_after is None else str(retry_after))


def drop() -> DropConnection:
    return DropConnection()


def delay(seconds: float) -> Delay:
    return Delay(seconds)


def html(status: int = 200) -> HtmlPage:
    return HtmlPage(status)


def respond(
    status: int, body: object = "", content_type: str = "application/json", headers: Optional[Mapping[str, str]] = None
) -> Respond:
    """A JSON-serialisable ``body`` that is not a string is sent as JSON."""
    text = body if isinstance(body, str) else json.dumps(body, ensure_ascii=False)
    return Respond(status, text, content_type, dict(headers or {}))


def redirect(location: str, status: int = 301) -> Respond:
    """What a proxy in front of the platform sends for http:// when it wants https://."""
    return Respond(status, "", "text/html", {"Location": location})


# Faults written on the command line: WHERE=WHAT[*COUNT], for example
# "report=503:5*2" or "group=html:502". WHERE is an endpoint's short name or a
# path prefix; WHAT is one of the forms in FAULT_FORMS.

FAULT_FORMS = """\
  503[:SECONDS|:none]   503 with Retry-After: SECONDS (default 0), or without the header
  drop                  close the connection without answering
  delay:SECONDS         answer normally after SECONDS (beyond the agent's --timeout: a time-out)
  html[:STATUS]         an HTML page, as a proxy or login portal serves it (default 200)
  status:CODE[:BODY]    any status with BODY (JSON if it parses as JSON, else text)
  redirect:URL[:CODE]   a redirect to URL (default 301)"""


class FaultSyntaxError(ValueError):
    """A --fault argument that cannot be read."""


def parse_fault(text: str, endpoints: Mapping[str, str]) -> tuple[str, List[Fault]]:
    """``WHERE=WHAT[*COUNT]`` as the path prefix and the faults to play there, in order."""
    where, separator, what = text.partition("=")
    where = where.strip()
    if not separator or not where or not what:
        raise FaultSyntaxError(f"expected WHERE=WHAT, got {text!r}")
    if where.startswith("/"):
        path = where
    elif where in endpoints:
        path = endpoints[where]
    else:
        raise FaultSyntaxError(f"unknown endpoint {where!r}: use a path starting with / or one of {', '.join(endpoints)}")
    count = 1
    body, star, times = what.rpartition("*")
    if star and times.isdigit():
        what, count = body, int(times)
        if count < 1:
            raise FaultSyntaxError(f"the count after * must be at least 1, got {text!r}")
    return path, [_parse_one_fault(what)] * count


def _parse_one_fault(what: str) -> Fault:
    kind, _, argument = what.partition(":")
    try:
        if kind in ("503", "unavailable"):
            return unavailable(None if argument == "none" else _number(argument or "0"))
        if kind == "drop" and not argument:
            return drop()
        if kind == "delay" and argument:
            return delay(float(argument))
        if kind == "html":
            return html(int(argument) if argument else 200)
        if kind == "status" and argument:
            code, _, body = argument.partition(":")
            return respond(int(code), _json_or_text(body), "application/json" if _is_json(body) else "text/plain")
        if kind == "redirect" and argument:
            location, _, code = argument.rpartition(":")
            # The last ":" may start a port instead: only a 3xx code counts.
            if location and len(code) == 3 and code.isdigit() and code[0] == "3":
                return redirect(location, int(code))
            return redirect(argument)
    except ValueError:
        pass
    raise FaultSyntaxError(f"cannot read the fault {what!r}; the forms are:\n{FAULT_FORMS}")


def _number(text: str) -> object:
    value = float(text)
    if value < 0:
        raise ValueError(text)
    return int(value) if value.is_integer() else text


def _is_json(text: str) -> bool:
    try:
        json.loads(text)
    except ValueError:
        return False
    return True


def _json_or_text(text: str) -> object:
    return json.loads(text) if _is_json(text) else text


def _json_response(status: int, payload: object, headers: Mapping[str, str]) -> Response:
    return Response(
        json.dumps(payload, ensure_ascii=False),
        status=status,
        content_type="application/json",
        headers=dict(headers),
    )


def path_within(path: str, prefix: str) -> bool:
    """Whole path segments only: the repository path is no prefix of the repository group path."""
    base = prefix.rstrip("/")
    return path == base or path.startswith(base + "/")


@dataclass
class _Injection:
    path_prefix: str
    method: Optional[str]
    faults: Deque[Fault]

    def matches(self, method: str, path: str) -> bool:
        return bool(self.faults) and path_within(path, self.path_prefix) and self.method in (None, method)


class FaultPlan:
    """Injected faults, consumed in the order they were injected."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._injections: List[_Injection] = []

    def inject(self, path_prefix: str, faults: Iterable[Fault], method: Optional[str] = None) -> None:
        queue = deque(faults)
        for fault in queue:
            if not isinstance(fault, Fault):
                raise TypeError(f"not a fault: {fault!r}")
        with self._lock:
            self._injections.append(_Injection(path_prefix, method and method.upper(), queue))

    def next_fault(self, method: str, path: str) -> Optional[Fault]:
        with self._lock:
            for injection in self._injections:
                if injection.matches(method, path):
                    return injection.faults.popleft()
        return None

    def pending(self) -> int:
        with self._lock:
            return sum(len(injection.faults) for injection in self._injections)

    def clear(self) -> None:
        with self._lock:
            self._injections.clear()
