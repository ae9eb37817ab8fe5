"""Upload progress of the command line, against the simulator."""

import io
import logging
import os
import pty
import re
import select
import subprocess
import sys
import time
import types

import pytest
from requests_toolbelt.multipart import encoder as encoder_module

from quillon_agent import cli, progress
from quillon_agent.simulator import faults

from support import subprocess_env
from test_cli import COMMIT, TOKEN, client_built, sim  # noqa: F401 (fixtures)

MIB = 1 << 20
SCAN_PATH = "/api/v1/git/ci-cd/scan"
ARCHIVE_PATH = "/api/v1/git/engagement/import_archive"


@pytest.fixture
def files(tmp_path):
    """A 6 MiB report whose name holds the token, a 5 MiB archive, and a report too small for progress."""
    paths = {"report": tmp_path / f"semgrep-{TOKEN}.json", "archive": tmp_path / "prepared.zip"}
    paths["report"].write_bytes(os.urandom(6 * MIB))
    paths["archive"].write_bytes(os.urandom(5 * MIB))
    paths["small"] = tmp_path / "gitleaks.json"
    paths["small"].write_bytes(b"x" * (progress.MIN_SIZE - 4096))
    return paths


def run_argv(files, *extra):
    return [
        *f"run --group team --repository backend --branch main --commit {COMMIT}".split(),
        *("--report", f"Semgrep JSON Report={files['report']}"),
        *("--report", f"Gitleaks Scan={files['small']}"),
        *("--archive", str(files["archive"])),
        *extra,
    ]


def run_agent(sim, argv, *, terminal=False, env=None):
    """The command in a subprocess; its stderr on a pseudo-terminal when ``terminal``. Returns the stderr text."""
    environ = subprocess_env({key: value for key, value in os.environ.items() if not key.startswith("QUILLON_")})
    environ.update(QUILLON_PLATFORM_URL=sim.url, QUILLON_API_TOKEN=TOKEN, **(env or {}))
    master, slave = pty.openpty() if terminal else (None, subprocess.PIPE)
    child = subprocess.Popen([sys.executable, "-m", "quillon_agent", *argv], stdout=subprocess.PIPE, stderr=slave, env=environ)
    if not terminal:
        stderr = child.communicate(timeout=60)[1].decode()
    else:
        os.close(slave)
        received, deadline = b"", time.monotonic() + 60
        try:  # until EIO: the child closed the terminal
            while time.monotonic() < deadline:
                if select.select([master], [], [], 1)[0]:
                    received += os.read(master, 65536)
        except OSError:
            pass
        os.close(master)
        child.communicate(timeout=10)
        stderr = received.decode()
    assert child.returncode == 0, stderr
    return stderr


def big_uploads(sim, path_prefix):
    """The recorded uploads of the 6 MiB report (``SCAN_PATH``) or of the archive."""
    requests = sim.requests_to(path_prefix)
    return [r for r in requests if path_prefix != SCAN_PATH or r.form_dict()["scan_type"] == "Semgrep JSON Report"]


def sent_size(sim, path_prefix):  # as the progress lines print it
    return f"{int(big_uploads(sim, path_prefix)[-1].headers['Content-Length']) / MIB:.1f} MiB"


@pytest.mark.parametrize("terminal", [False, True], ids=["log", "terminal"])
def test_progress_of_a_pipeline_run(sim, files, terminal):
    stderr = run_agent(sim, run_argv(files), terminal=terminal)

    lines = [line for line in re.split(r"[\r\n]+", stderr) if "upload " in line]
    assert TOKEN not in "".join(lines) and "gitleaks" not in "".join(lines)
    report, archive = sent_size(sim, SCAN_PATH), sent_size(sim, ARCHIVE_PATH)
    for name, size in [("semgrep-***.json", report), ("scan.zip", archive)]:
        ours = [line for line in lines if f"upload {name}:" in line]
        assert re.search(rf"upload {re.escape(name)}: sent {size} in [\d.]+ s, [\d.]+ .iB/s on average", ours[-1])
        if terminal:
            assert f" of {size} (" in ours[0] and "INFO" not in "".join(ours)
        else:
            assert ours[0].endswith(f"INFO    upload {name}: {size} to send")
    if terminal:
        # One line per upload, redrawn in place; a newline only after the final state.
        assert re.search(r"\rupload semgrep-\*\*\*\.json: [^\n]*\x1b\[K\rupload semgrep", stderr)
        assert re.search(rf"on average\x1b\[K\r?\n", stderr)
    else:
        assert "\r" not in stderr and "\x1b" not in stderr


@pytest.mark.parametrize(
    "extra, env", [(["--no-progress"], None), ([], {"QUILLON_NO_PROGRESS": "yes"})], ids=["option", "env"]
)
def test_progress_turned_off_leaves_the_bodies_as_they_were(sim, files, extra, env):
    assert "upload semgrep" in run_agent(sim, run_argv(files))
    assert "upload " not in run_agent(sim, run_argv(files, *extra), terminal=True, env=env)

    for path in (SCAN_PATH, ARCHIVE_PATH):
        with_progress, without = [
            (r.form, r.files, r.headers["Content-Length"], r.content_type.split("boundary=")[0])
            for r in big_uploads(sim, path)
        ]
        assert with_progress == without
    assert big_uploads(sim, SCAN_PATH)[-1].files[0].content == files["report"].read_bytes()

    # Byte for byte, with the boundary (random otherwise) fixed.
    with open(files["archive"], "rb") as first, open(files["archive"], "rb") as second:
        expected = encoder_module.MultipartEncoder({"archive": ("a.zip", first)}, boundary="b").to_string()
        with progress.upload_progress(stream=open(os.devnull, "w")):
            counting = encoder_module.MultipartEncoder({"archive": ("a.zip", second)}, boundary="b")
            body = b"".join(iter(lambda: counting.read(16384), b""))
    assert body == expected


class FakeClock:
    def __init__(self, tick):
        self.now, self.tick = 1000.0, tick

    def __call__(self):
        self.now += self.tick
        return self.now


@pytest.mark.parametrize("tick", [0.5, 0.05], ids=["10-percent-bound", "10-seconds-bound"])
def test_log_lines_are_rate_limited_and_a_retry_starts_over(sim, files, tick, monkeypatch, capsys):
    """In-process, with a clock advancing ``tick`` seconds per reading, and one 503 answer."""
    clock = FakeClock(tick)
    monkeypatch.setattr(progress, "time", types.SimpleNamespace(monotonic=clock))
    told = []
    handler = logging.Handler()
    handler.emit = lambda record: told.append((clock.now, record.getMessage()))
    logging.getLogger("quillon_agent.progress").addHandler(handler)
    agent_logger = logging.getLogger("quillon_agent")
    kept = agent_logger.handlers[:], agent_logger.propagate
    sim.inject(SCAN_PATH, [faults.unavailable(retry_after=0)])
    try:
        assert cli.main(run_argv(files), environ={"QUILLON_PLATFORM_URL": sim.url, "QUILLON_API_TOKEN": TOKEN}) == 0
    finally:
        # main() gave the agent's logger a handler on this test's captured stderr.
        agent_logger.handlers, agent_logger.propagate = kept
        logging.getLogger("quillon_agent.progress").removeHandler(handler)
    capsys.readouterr()

    size = sent_size(sim, SCAN_PATH)
    attempts = [[], []]
    for when, text in told:
        if text.startswith("upload semgrep-***.json"):
            attempts["(attempt 2)" in text].append((when, text))
    assert [r.status for r in big_uploads(sim, SCAN_PATH)] == [503, 200]
    for number, lines in enumerate(attempts, 1):
        assert lines[0][1].endswith(f": {size} to send") and lines[-1][1].split(": ", 1)[1].startswith(f"sent {size}")
        assert ("(attempt 2)" in lines[0][1]) == (number == 2)
        marks = [(lines[0][0], 0)] + [
            (when, int(re.search(r"\((\d+) %\)", text).group(1))) for when, text in lines[1:-1]
        ]
        assert len(marks) >= 2  # at least one line between the first and the last
        for (before, percent_before), (after, percent_after) in zip(marks, marks[1:]):
            assert after - before >= progress.LOG_STEP_SECONDS and percent_after - percent_before >= 10
            # ... and no later than the first reading at which both held.
            assert after - before < progress.LOG_STEP_SECONDS + 2 * tick or percent_after - percent_before <= 11


class FakeTerminal(io.StringIO):
    def isatty(self):
        return True


def test_a_log_line_during_an_upload_starts_on_its_own_line(tmp_path):
    (tmp_path / "r.json").write_bytes(bytes(5 * MIB))
    terminal = FakeTerminal()
    handler = logging.StreamHandler(terminal)
    logging.getLogger("quillon_agent").addHandler(handler)
    try:
        with progress.upload_progress(stream=terminal, clock=FakeClock(1.0)):
            with open(tmp_path / "r.json", "rb") as report:
                encoder_module.MultipartEncoder({"report": ("r.json", report)}).read(MIB)
                logging.getLogger("quillon_agent").warning("connection lost")
    finally:
        logging.getLogger("quillon_agent").removeHandler(handler)
    assert re.search(r"\(\d+ %\), [^\n]*\x1b\[K\nconnection lost\n$", terminal.getvalue())
    assert handler.filters == []
