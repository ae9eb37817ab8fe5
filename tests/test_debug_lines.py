"""DEBUG lines reach the host's logging exactly as logger.debug(text) would
deliver them: the same record (caller, factory, attributes) to the same
handlers, at the same call depth, and every piece of the logger's path a host
replaces is used.

The Python path is forced by shadowing `debug` on the logger instance with
its own bound method: the record must not change, only the route."""

from __future__ import annotations

import logging
import sys

import pytest

COMPARED = ("name", "msg", "args", "levelname", "levelno", "pathname", "filename", "module", "exc_info",
            "exc_text", "stack_info", "lineno", "funcName", "thread", "threadName", "processName", "process")


class Keep(logging.Handler):
    def __init__(self):
        super().__init__(logging.DEBUG)
        self.records = []

    def emit(self, record):
        self.records.append(record)


@pytest.fixture
def kept(pc):
    logger = logging.getLogger("quillon_agent")
    handler = Keep()
    level, propagate = logger.level, logger.propagate
    logger.addHandler(handler)
    logger.setLevel(logging.DEBUG)
    logger.propagate = False
    yield handler.records
    logger.removeHandler(handler)
    logger.setLevel(level)
    logger.propagate = propagate


@pytest.fixture
def loud(make_client):
    return make_client(verbose=True)


def write_line(client):
    # One call site for both routes, so the caller's line is the same.
    client._log_request_attempt_payload({"a": 1})


def python_path(monkeypatch, logger):
    monkeypatch.setattr(logger, "debug", logger.debug, raising=False)


def attributes(record):
    return {name: getattr(record, name) for name in COMPARED}


def both_routes(monkeypatch, kept, run):
    run()
    with monkeypatch.context() as patch:
        python_path(patch, logging.getLogger("quillon_agent"))
        run()
    assert len(kept) == 2
    return kept


def functions_run(run):
    seen = set()

    def profile(frame, event, arg):
        if event == "call":
            seen.add(frame.f_code.co_name)

    sys.setprofile(profile)
    try:
        run()
    finally:
        sys.setprofile(None)
    return seen


def test_record_is_the_one_logger_debug_makes(monkeypatch, kept, loud):
    fast, general = both_routes(monkeypatch, kept, lambda: write_line(loud))
    # The first route is the native one: logging's own frames are not run.
    assert "_log" not in functions_run(lambda: write_line(loud))
    assert attributes(fast) == attributes(general)
    assert fast.funcName == "write_line" and fast.pathname == __file__
    assert fast.getMessage() == '[HTTP] Request payload: {"a": 1}'
    assert type(fast) is logging.LogRecord and fast.created <= general.created


@pytest.mark.parametrize("filename", ["<frame of logging>", "<frozen importlib._bootstrap>",
                                      "/x/importlib/_bootstrap_external.py", "/x/importlib/other.py"])
def test_callers_that_find_caller_skips_or_keeps(monkeypatch, kept, loud, filename):
    """Frames of logging's own file, and on later interpreters importlib's
    bootstrap, are passed over in the search for the caller."""
    filename = logging._srcfile if filename == "<frame of logging>" else filename
    code = compile("client._log_request_attempt_payload({'a': 1})", filename, "exec")
    fast, general = both_routes(monkeypatch, kept, lambda: exec(code, {"client": loud}))
    assert attributes(fast) == attributes(general)


def test_no_record_below_the_level_or_when_disabled(kept, loud):
    logger = logging.getLogger("quillon_agent")
    logger.setLevel(logging.INFO)
    write_line(loud)
    logger.setLevel(logging.DEBUG)
    logging.disable(logging.DEBUG)
    try:
        write_line(loud)
    finally:
        logging.disable(logging.NOTSET)
    write_line(loud)
    assert len(kept) == 1


def custom_factory(*args, **kwargs):
    record = logging.LogRecord(*args, **kwargs)
    record.made_by = "host factory"
    return record


def answer_from_host(self, stack_info=False, stacklevel=1):
    return "host.py", 7, "host_function", None


def record_from_host(self, name, level, fn, lno, msg, args, exc_info, func=None, extra=None, sinfo=None):
    record = logging.LogRecord(name, level, fn, lno, msg, args, exc_info, func, sinfo)
    record.made_by = "host makeRecord"
    return record


class HostLogger(logging.Logger):
    def debug(self, msg, *args, **kwargs):
        super().debug("host: " + msg, *args, **kwargs)


# What a host may change, and what each record must then show.
HOST_CHANGES = {
    "record factory": (lambda patch, logger: logging.setLogRecordFactory(custom_factory),
                       lambda r: r.made_by == "host factory"),
    "findCaller on the class": (lambda patch, logger: patch.setattr(logging.Logger, "findCaller", answer_from_host),
                                lambda r: (r.pathname, r.lineno, r.funcName) == ("host.py", 7, "host_function")),
    "makeRecord on the instance": (
        lambda patch, logger: patch.setattr(logger, "makeRecord", record_from_host.__get__(logger), raising=False),
        lambda r: r.made_by == "host makeRecord"),
    "no _srcfile": (lambda patch, logger: patch.setattr(logging, "_srcfile", None),
                    lambda r: (r.pathname, r.lineno, r.funcName) == ("(unknown file)", 0, "(unknown function)")),
    "currentframe": (lambda patch, logger: patch.setattr(logging, "currentframe", lambda: None),
                     lambda r: r.funcName == "(unknown function)"),
    "isEnabledFor on the instance": (
        lambda patch, logger: patch.setattr(logger, "isEnabledFor", lambda level: False, raising=False),
        None),
    "handle on the instance": (
        lambda patch, logger: patch.setattr(logger, "handle", lambda record: None, raising=False), None),
    "filter on the logger": (lambda patch, logger: logger.addFilter(lambda record: False), None),
}


@pytest.mark.parametrize("change", HOST_CHANGES.values(), ids=HOST_CHANGES.keys())
def test_pieces_a_host_changes_are_used(monkeypatch, kept, loud, change):
    apply, shows = change
    write_line(loud)  # the checks pass and are remembered first
    logger = logging.getLogger("quillon_agent")
    factory, filters = logging.getLogRecordFactory(), list(logger.filters)
    try:
        apply(monkeypatch, logger)
        write_line(loud)
    finally:
        logging.setLogRecordFactory(factory)
        logger.filters[:] = filters
    if shows is None:
        assert len(kept) == 1
    else:
        assert len(kept) == 2 and shows(kept[1])


def test_a_logger_of_another_class_is_called(monkeypatch, pc, kept, loud):
    host_logger = HostLogger("quillon_agent.host")
    host_logger.addHandler(next(h for h in logging.getLogger("quillon_agent").handlers if isinstance(h, Keep)))
    host_logger.setLevel(logging.DEBUG)
    monkeypatch.setattr(pc, "logger", host_logger)
    write_line(loud)
    assert [r.getMessage() for r in kept] == ['host: [HTTP] Request payload: {"a": 1}']
    assert kept[0].funcName == "debug"  # the host's method is the caller logging finds


def remaining_depth():
    try:
        return 1 + remaining_depth()
    except RecursionError:
        return 0


class MeasureDepth(logging.Handler):
    """Records how many more calls fit under the depth limit where the
    handler runs, and where the record factory runs."""

    def __init__(self):
        super().__init__(logging.DEBUG)
        self.rooms = []

    def emit(self, record):
        self.rooms.append(("handler", remaining_depth()))


def test_factory_and_handlers_run_at_the_depth_of_the_python_path(monkeypatch, kept, loud):
    logger = logging.getLogger("quillon_agent")
    measure = MeasureDepth()
    logger.addHandler(measure)
    factory = logging.getLogRecordFactory()

    def measuring_factory(*args, **kwargs):
        measure.rooms.append(("factory", remaining_depth()))
        return factory(*args, **kwargs)

    logging.setLogRecordFactory(measuring_factory)
    try:
        both_routes(monkeypatch, kept, lambda: write_line(loud))
    finally:
        logging.setLogRecordFactory(factory)
        logger.removeHandler(measure)
    fast, general = measure.rooms[:2], measure.rooms[2:]
    assert fast == general and len(fast) == 2


def test_near_the_depth_limit_the_line_fails_or_passes_as_in_python(monkeypatch, kept, loud):
    def deepest(run):
        def at(depth):
            if depth:
                return at(depth - 1)
            run()
            return True

        limit = sys.getrecursionlimit()
        outcome = {}
        for depth in range(limit - 80, limit):
            try:
                outcome[depth] = at(depth)
            except RecursionError:
                outcome[depth] = False
        return outcome

    fast = deepest(lambda: write_line(loud))
    with monkeypatch.context() as patch:
        python_path(patch, logging.getLogger("quillon_agent"))
        general = deepest(lambda: write_line(loud))
    assert fast == general and True in fast.values() and False in fast.values()
