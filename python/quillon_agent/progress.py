"""Progress of long uploads, for the command line's own process.

The platform client streams report files and scan archives through
``requests_toolbelt``'s ``MultipartEncoder``, which it looks up in
``requests_toolbelt.multipart.encoder`` each time it builds a body (once more
before every retry). ``upload_progress`` puts a subclass there for the length
of a ``with`` block: it hands the very bytes the original produces to the
caller and only counts them. The client stays untouched, and a process that
never enters the block gets the original class.

Only bodies of at least MIN_SIZE (4 MiB) are reported: smaller ones are gone
before a first line would tell anything. On a terminal (stderr is a TTY) one
line is redrawn in place; elsewhere (CI logs) INFO lines go to the
"quillon_agent" logger, no more often than every 10 % *and* every 10 seconds,
and a last one gives the size, the duration and the average rate.
"""

from __future__ import annotations

import argparse
import logging
import os
import sys
import time
from contextlib import contextmanager
from typing import Any, Callable, Iterable, Iterator, Mapping, Optional, TextIO

from .config import _flag
from .masking import Masker

ENV_NO_PROGRESS = "QUILLON_NO_PROGRESS"

MIN_SIZE = 4 << 20
LOG_STEP_FRACTION = 0.10
LOG_STEP_SECONDS = 10.0
REDRAW_SECONDS = 0.2
# The clock is read only when the count crosses a step (1/500 of the body,
# at most 256 KiB), so that most reads cost an addition and a comparison.
_CHECKS_PER_BODY = 500
_MAX_CHECK_STEP = 256 << 10

logger = logging.getLogger("quillon_agent.progress")

Clock = Callable[[], float]


def add_no_progress_option(commands: Any, names: Iterable[str]) -> None:
    """--no-progress on each named subcommand of ``commands`` (argparse's subparsers action)."""
    for name in names:
        commands.choices[name].add_argument(
            "--no-progress",
            action="store_true",
            default=None,
            help=f"no progress display for uploads of {MIN_SIZE >> 20} MiB or more (env {ENV_NO_PROGRESS})",
        )


def progress_wanted(options: argparse.Namespace, environ: Mapping[str, str] = os.environ) -> bool:
    """False with --no-progress or a true QUILLON_NO_PROGRESS; raises ConfigError on an unknown word."""
    if getattr(options, "no_progress", None):
        return False
    return not _flag(environ.get(ENV_NO_PROGRESS), ENV_NO_PROGRESS)


@contextmanager
def upload_progress(
    enabled: bool = True,
    *,
    secret: Optional[str] = None,
    stream: Optional[TextIO] = None,
    clock: Optional[Clock] = None,
    min_size: int = MIN_SIZE,
) -> Iterator[None]:
    """Report the progress of every multipart upload made inside the block.

    ``secret`` (the API token) is replaced by "***" wherever it appears in a
    file name. ``stream`` defaults to sys.stderr as it is on entry, ``clock``
    to time.monotonic.
    """
    if not enabled:
        yield
        return
    from requests_toolbelt.multipart import encoder as encoder_module  # type: ignore[import-untyped]

    tracker = _Tracker(stream or sys.stderr, clock or time.monotonic, min_size, secret)
    original = encoder_module.MultipartEncoder
    encoder_module.MultipartEncoder = _counting_encoder_class(original, tracker)
    tracker.watch_log_handlers()
    try:
        yield
    finally:
        encoder_module.MultipartEncoder = original
        tracker.close()


_NOT_STARTED: Any = object()


def _counting_encoder_class(base: Any, tracker: "_Tracker") -> type:
    base_read = base.read  # called directly: cheaper than super() on every read

    class CountingMultipartEncoder(base):  # type: ignore[misc]
        # The client builds one encoder before the first attempt that is never
        # read, so an attempt starts at the first read, not at construction.
        _progress: Any = _NOT_STARTED

        def read(self, size: int = -1) -> bytes:
            if self._progress is _NOT_STARTED:
                self._progress = tracker.begin(self)
            data: bytes = base_read(self, size)
            progress = self._progress
            if progress is not None:
                progress.sent += len(data)
                if progress.sent >= progress.next_check:
                    progress.check()
            return data

    return CountingMultipartEncoder


class _Tracker:
    """Tells a retry from a new upload, and keeps the terminal line tidy."""

    def __init__(self, stream: TextIO, clock: Clock, min_size: int, secret: Optional[str]) -> None:
        self.stream = stream
        self.clock = clock
        self.min_size = min_size
        self.mask = Masker(secret)
        self.on_tty = _is_tty(stream)
        self.width = _terminal_width(stream) if self.on_tty else 0
        self.line_open = False
        self._files: list[Any] = []
        self._attempt = 0
        self._filter = _CloseLineFirst(self)
        self._handlers: list[logging.Handler] = []

    def begin(self, encoder: Any) -> Optional["_Attempt"]:
        # The client rewinds the same file objects for a retry, and a new
        # upload opens its file afresh. Holding the previous ones keeps their
        # identities from being reused.
        fields = encoder.fields
        parts = list(fields.values()) if isinstance(fields, Mapping) else [field[1] for field in fields]
        file_parts = [value for value in parts if isinstance(value, tuple) and len(value) >= 2]
        files = [value[1] for value in file_parts]
        same_upload = bool(files) and len(files) == len(self._files) and all(
            new is old for new, old in zip(files, self._files)
        )
        self._attempt = self._attempt + 1 if same_upload else 1
        self._files = files
        total = encoder.len
        if total < self.min_size:
            return None
        self.end_line()
        names = [str(value[0]) for value in file_parts if value[0]]
        name = self.mask(names[0]) if names else "multipart body"
        return _Attempt(self, name, total, self._attempt)

    def write_line(self, label: str, detail: str, final: bool) -> None:
        text = f"upload {label}: {detail}"
        # A line that wrapped could not be redrawn: a long name gives way
        # (its middle) before the figures do.
        if self.width and len(text) >= self.width:
            room = max(self.width - 1 - (len(text) - len(label)) - 3, 8)
            label = label[: room - room // 2] + "..." + label[len(label) - room // 2 :]
            text = f"upload {label}: {detail}"[: self.width - 1]
        # \r back to the start, ESC[K clears what a longer previous line left.
        self.stream.write("\r" + text + "\x1b[K" + ("\n" if final else ""))
        self.stream.flush()
        self.line_open = not final

    def end_line(self) -> None:
        if self.line_open:
            self.line_open = False
            self.stream.write("\n")
            self.stream.flush()

    def watch_log_handlers(self) -> None:
        # A log line written while the terminal line is open would be glued to
        # it; the filter ends the line first.
        if not self.on_tty:
            return
        self._handlers = list(logging.getLogger("quillon_agent").handlers)
        for handler in self._handlers:
            handler.addFilter(self._filter)

    def close(self) -> None:
        for handler in self._handlers:
            handler.removeFilter(self._filter)
        self._handlers = []
        self._files = []
        self.end_line()


class _CloseLineFirst(logging.Filter):
    def __init__(self, tracker: _Tracker) -> None:
        super().__init__()
        self.tracker = tracker

    def filter(self, record: logging.LogRecord) -> bool:
        self.tracker.end_line()
        return True


class _Attempt:
    """The count of one attempt: what was sent, and when it was last told."""

    def __init__(self, tracker: _Tracker, name: str, total: int, number: int) -> None:
        self.tracker = tracker
        self.label = name if number == 1 else f"{name} (attempt {number})"
        self.total = total
        self.sent = 0
        self.step = max(min(total // _CHECKS_PER_BODY, _MAX_CHECK_STEP), 1)
        self.next_check = min(self.step, total)
        self.started = tracker.clock()
        self.told_at = self.started
        self.told_bytes = 0
        if tracker.on_tty:
            tracker.write_line(self.label, self._running_text(self.started), final=False)
        else:
            logger.info("upload %s: %s to send", self.label, _size(total))

    def check(self) -> None:
        now = self.tracker.clock()
        if self.sent >= self.total:
            self.next_check = sys.maxsize  # the final line is told once
            self._finish(now)
            return
        # The last step ends at the total, so that the final line is not missed.
        self.next_check = min(self.sent + self.step, self.total)
        if self.tracker.on_tty:
            if now - self.told_at >= REDRAW_SECONDS:
                self._tell(now)
                self.tracker.write_line(self.label, self._running_text(now), final=False)
        elif (
            self.sent - self.told_bytes >= LOG_STEP_FRACTION * self.total
            and now - self.told_at >= LOG_STEP_SECONDS
        ):
            self._tell(now)
            logger.info("upload %s: %s", self.label, self._running_text(now))

    def _tell(self, now: float) -> None:
        self.told_at = now
        self.told_bytes = self.sent

    def _running_text(self, now: float) -> str:
        elapsed = now - self.started
        rate = self.sent / elapsed if elapsed > 0 else 0.0
        left = f"{_duration((self.total - self.sent) / rate)} left" if rate > 0 else "time left unknown"
        percent = 100 * self.sent // self.total
        return f"{_size(self.sent)} of {_size(self.total)} ({percent} %), {_size(rate)}/s, {left}"

    def _finish(self, now: float) -> None:
        elapsed = now - self.started
        rate = f"{_size(self.total / elapsed)}/s" if elapsed > 0 else "rate unknown"
        detail = f"sent {_size(self.total)} in {_duration(elapsed)}, {rate} on average"
        if self.tracker.on_tty:
            self.tracker.write_line(self.label, detail, final=True)
        else:
            logger.info("upload %s: %s", self.label, detail)


def _is_tty(stream: TextIO) -> bool:
    try:
        return stream.isatty()
    except (AttributeError, ValueError):
        return False


def _terminal_width(stream: TextIO) -> int:
    """Columns of the terminal, 0 when unknown (a fresh pseudo-terminal reports 0 too)."""
    try:
        return os.get_terminal_size(stream.fileno()).columns
    except (AttributeError, ValueError, OSError):
        return 0


def _size(count: float) -> str:
    for unit, scale in (("GiB", 1 << 30), ("MiB", 1 << 20), ("KiB", 1 << 10)):
        if count >= scale:
            return f"{count / scale:.1f} {unit}"
    return f"{count:.0f} B"


def _duration(seconds: float) -> str:
    if seconds < 1:
        return f"{seconds:.2f} s"
    if seconds < 60:
        return f"{seconds:.1f} s"
    minutes, secs = divmod(int(seconds), 60)
    hours, minutes = divmod(minutes, 60)
    return f"{hours}:{minutes:02}:{secs:02}" if hours else f"{minutes}:{secs:02}"
