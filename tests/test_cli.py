import json
import os
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

import quillon_agent
from quillon_agent import cli
from quillon_agent.pipeline import ReportFile, group_url_from_source
from quillon_agent.simulator import Simulator, faults

TOKEN = "cli-secret-token"
# Subprocesses import the very package this run imported: the source tree with an
# in-place build, an installed wheel, or a sanitizer build put first on PYTHONPATH.
PYTHON_DIR = str(Path(quillon_agent.__file__).resolve().parents[1])
COMMIT = "0123456789abcdef0123456789abcdef01234567"
PLATFORM = "--platform-url http://x --api-token t"
UPLOAD_TARGET = f"--engagement {COMMIT} --repository-id 1 --branch main"


# Host-side pieces that need no platform client.


@pytest.mark.parametrize(
    "text, expected",
    [
        ("Semgrep JSON Report=out/semgrep.json", ReportFile("Semgrep JSON Report", "out/semgrep.json")),
        ("T=dir/a=b.json", ReportFile("T", "dir/a=b.json")),
    ],
)
def test_report_option_parsing(text, expected):
    assert ReportFile.parse(text) == expected


@pytest.mark.parametrize("text", ["report.json", "=report.json", "Semgrep=", " =x"])
def test_report_option_rejects(text):
    with pytest.raises(ValueError):
        ReportFile.parse(text)


@pytest.mark.parametrize(
    "source_url, group_url",
    [
        ("https://git.example/team/backend", "https://git.example/team"),
        ("https://git.example/org/team/backend/", "https://git.example/org/team"),
        ("https://git.example/backend", None),
        ("https://git.example", None),
        (None, None),
    ],
)
def test_group_url_is_the_parent_of_the_source_url(source_url, group_url):
    assert group_url_from_source(source_url) == group_url


@pytest.mark.parametrize(
    "argv, complaint",
    [
        (["create-group", "team"], "--platform-url"),
        ("--platform-url ftp://x --api-token t create-group team".split(), "http://"),
        (f"{PLATFORM} run --group g".split(), "--repository"),
        (f"{PLATFORM} run --group g --repository r --branch b --commit c --report x.json".split(), "SCAN_TYPE=PATH"),
    ],
)
def test_usage_errors_exit_2_before_any_request(argv, complaint, capsys):
    with pytest.raises(SystemExit) as stopped:
        cli.main(argv, environ={})
    assert stopped.value.code == 2
    assert complaint in capsys.readouterr().err


# Whole runs in a subprocess, against the simulator.


@pytest.fixture
def client_built():
    pytest.importorskip("quillon_agent.platform_client")


@pytest.fixture
def sim(client_built):
    with Simulator(token=TOKEN) as simulator:
        yield simulator


def agent(sim, *argv, env=None, timeout=60):
    environ = {key: value for key, value in os.environ.items() if not key.startswith("QUILLON_")}
    environ["PYTHONPATH"] = os.pathsep.join(filter(None, [PYTHON_DIR, os.environ.get("PYTHONPATH")]))
    environ.update(env if env is not None else {"QUILLON_PLATFORM_URL": sim.url, "QUILLON_API_TOKEN": TOKEN})
    return subprocess.run(
        [sys.executable, "-m", "quillon_agent", *argv], capture_output=True, text=True, env=environ, timeout=timeout
    )


def output(result):
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout)


@pytest.fixture
def workdir(tmp_path):
    (tmp_path / "semgrep.json").write_text('{"results": []}')
    (tmp_path / "gitleaks.json").write_text("[]")
    with zipfile.ZipFile(tmp_path / "prepared.zip", "w") as archive:
        archive.writestr("manifest.json", "{}")
    return tmp_path


def run_argv(workdir, *extra):
    return [
        *f"run --group team --repository backend --branch main --commit {COMMIT}".split(),
        *"--source-url https://git.example/team/backend".split(),
        *("--report", f"Semgrep JSON Report={workdir / 'semgrep.json'}"),
        *("--report", f"Gitleaks Scan={workdir / 'gitleaks.json'}"),
        *extra,
    ]


def test_run_drives_the_whole_pipeline(sim, workdir):
    result = output(
        agent(sim, *run_argv(workdir, "--archive", str(workdir / "prepared.zip"), "--wait", "--interval", "1"))
    )

    engagement = sim.state.engagements[int(result["engagement_id"])]
    assert (engagement.name, engagement.branch.name, engagement.repository.name) == (COMMIT, "main", "backend")
    assert engagement.repository.group.web_url == "https://git.example/team"
    assert engagement.repository.web_url == "https://git.example/team/backend"
    assert engagement.status == "finished"
    assert [r["answer"]["file_name"] for r in result["reports"]] == ["semgrep.json", "gitleaks.json"]
    assert result["scan"]["scan_id"] == COMMIT

    calls = [(r.method, r.path) for r in sim.requests]
    assert calls == [
        ("POST", "/api/v1/git/ci-cd/repository_group"),
        ("POST", "/api/v1/git/ci-cd/repository"),
        ("POST", "/api/v1/git/ci-cd/branch"),
        ("POST", "/api/v1/git/ci-cd/engagement"),
        ("POST", "/api/v1/git/ci-cd/scan"),
        ("POST", "/api/v1/git/ci-cd/scan"),
        ("POST", "/api/v1/git/ci-cd/engagement_status"),
        ("POST", f"/api/v1/git/engagement/import_archive/{result['engagement_id']}"),
        ("GET", f"/api/v1/engagement/{COMMIT}"),
    ]
    assert sim.requests[-1].query_dict() == {
        "branch_name": "main",
        "repository_name": "backend",
        "repository_group_name": "team",
        "repository_group_url": "https://git.example/team",
        "repository_group_id": result["group_id"],
    }


def test_rerun_finds_the_same_entities(sim, workdir):
    first = output(agent(sim, *run_argv(workdir)))
    second = output(agent(sim, *run_argv(workdir)))
    ids = ("group_id", "repository_id", "branch_id", "engagement_id")
    assert [first[key] for key in ids] == [second[key] for key in ids]


def test_options_win_over_environment_and_trailing_slash_is_dropped(sim):
    env = {"QUILLON_PLATFORM_URL": "http://127.0.0.1:9", "QUILLON_API_TOKEN": "wrong"}
    result = agent(sim, "--platform-url", sim.url + "/", "--api-token", TOKEN, "create-group", "team", env=env)
    assert output(result) == {"id": str(next(iter(sim.state.groups)))}


def test_single_commands_chain_by_id(sim, workdir):
    group = output(agent(sim, "create-group", "team", "--web-url", "https://git.example/team"))["id"]
    repository = output(agent(sim, "create-repository", "backend", "--group-id", group))["id"]
    branch = output(agent(sim, "create-branch", "main", "--repository-id", repository))["id"]
    engagement = output(agent(sim, "create-engagement", COMMIT, "--branch-id", branch))["id"]
    assert output(agent(sim, "get-engagement-id", COMMIT, "--branch-id", branch)) == {"id": engagement}

    target = ["--engagement", COMMIT, "--repository-id", repository, "--branch", "main"]
    output(agent(sim, "upload-report", str(workdir / "semgrep.json"), "--scan-type", "Semgrep JSON Report", *target))
    output(agent(sim, "update-status", *target, "--status", "failed"))
    output(agent(sim, "submit-scan", engagement, str(workdir / "prepared.zip")))

    assert sim.state.engagements[int(engagement)].status == "failed"
    assert output(agent(sim, "engagement-status", COMMIT, "--repository", "backend"))["engagement_id"] == int(
        engagement
    )
    details = output(agent(sim, "repository-details", "--repository-name", "backend", "--group-id", group))
    assert [b["name"] for b in details["branches"]] == ["main"]
    groups = output(agent(sim, "find-groups", "team", "--integration-type", "API"))
    assert [g["id"] for g in groups] == [int(group)]


@pytest.mark.parametrize(
    "prepare, argv, exit_code, message",
    [
        (None, ["--api-token", "wrong", "find-groups", "team"], 2, "Ошибка авторизации"),
        (None, ["engagement-status", "abc"], 1, "минимум 5 символов"),
        (None, f"upload-report /no/report.json --scan-type T {UPLOAD_TARGET}".split(), 4, "Файл отчёта не найден"),
        (None, ["wait", COMMIT, "--interval", "1", "--max-wait", "1"], 8, "Сканирование не появилось"),
        ("ambiguous", ["engagement-status", COMMIT, "--branch", "main"], 1, "Замените --group или --source-url"),
        ("html", ["find-groups", "team"], 5, "HTML"),
        (None, ["submit-scan", "999999", "{archive}"], 7, "Ресурс не найден"),
    ],
)
def test_platform_errors_exit_with_their_code(sim, workdir, prepare, argv, exit_code, message):
    if prepare == "ambiguous":
        sim.add_scan(COMMIT, group="team-a", repository="backend")
        sim.add_scan(COMMIT, group="team-b", repository="backend")
    elif prepare == "html":
        sim.inject("/api/v1/git/ci-cd/repository_groups_agent", [faults.html()])
    argv = [arg.replace("{archive}", str(workdir / "prepared.zip")) for arg in argv]
    result = agent(sim, *argv)
    assert result.returncode == exit_code, result.stderr
    assert message in result.stderr
    assert result.stdout == ""


def test_retryable_answers_are_ridden_out(sim):
    throttled = faults.respond(429, "", headers={"Retry-After": "0"})
    sim.inject("/api/v1/git/ci-cd/repository_group", [faults.unavailable(retry_after=0), throttled])
    assert output(agent(sim, "create-group", "team"))["id"]
    assert [r.status for r in sim.requests] == [503, 429, 201]


def test_verbose_logs_requests_without_the_token(sim):
    quiet = agent(sim, "find-groups", "team")
    verbose = agent(sim, "--verbose", "find-groups", "team")
    assert "DEBUG" not in quiet.stderr
    assert "[HTTP]" in verbose.stderr and "DEBUG" in verbose.stderr
    assert TOKEN not in verbose.stderr


def test_demo(client_built):
    result = subprocess.run(
        [sys.executable, "-m", "quillon_agent", "demo"],
        capture_output=True,
        text=True,
        timeout=120,
        env={**os.environ, "PYTHONPATH": os.pathsep.join(filter(None, [PYTHON_DIR, os.environ.get("PYTHONPATH")]))},
    )
    summary = output(result)
    assert summary["scan"]["scan_id"] and len(summary["reports"]) == 2
    assert "Platform simulator started at http://127.0.0.1:" in result.stderr
    assert "Demo finished" in result.stderr
