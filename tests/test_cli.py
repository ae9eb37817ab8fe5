import json
import logging
import os
import re
import shutil
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest
from support import subprocess_env

import quillon_agent
from quillon_agent import cli, demo
from quillon_agent.pipeline import ReportFile, group_url_from_source
from quillon_agent.simulator import Simulator, faults

TOKEN = "cli-secret-token"
COMMIT = "0123456789abcdef0123456789abcdef01234567"
PLATFORM = "--platform-url http://127.0.0.1:9 --api-token usage-test-token"
UPLOAD_TARGET = f"--engagement {COMMIT} --repository-id 1 --branch main"


@pytest.fixture(autouse=True)
def _restore_agent_logger():
    # cli.main() run in this process sets up the agent's logger for a
    # command line; later tests expect it as they left it.
    logger = logging.getLogger("quillon_agent")
    handlers, propagate = list(logger.handlers), logger.propagate
    yield
    logger.handlers, logger.propagate = handlers, propagate


# Host-side pieces that need no platform client.


@pytest.mark.parametrize("text, expected", [
    ("Semgrep JSON Report=out/semgrep.json", ReportFile("Semgrep JSON Report", "out/semgrep.json")),
    ("T=dir/a=b.json", ReportFile("T", "dir/a=b.json")),
] + [(text, None) for text in ("report.json", "=report.json", "Semgrep=", " =x")])  # None: rejected
def test_report_option_parsing(text, expected):
    if expected is None:
        with pytest.raises(ValueError):
            ReportFile.parse(text)
    else:
        assert ReportFile.parse(text) == expected


@pytest.mark.parametrize("source_url, group_url", [
    ("https://git.example/team/backend", "https://git.example/team"),
    ("https://git.example/org/team/backend/", "https://git.example/org/team"),
    ("https://git.example/backend", None), ("https://git.example", None), (None, None),
])
def test_group_url_is_the_parent_of_the_source_url(source_url, group_url):
    assert group_url_from_source(source_url) == group_url


@pytest.mark.parametrize("argv, complaint", [
    (["create-group", "team"], "--platform-url"),
    ("--platform-url ftp://x --api-token t create-group team".split(), "http://"),
    (f"{PLATFORM} run --repository r".split(), "--group"),
    (f"{PLATFORM} run --group g --repository r --branch b --commit c --report x.json".split(), "SCAN_TYPE=PATH"),
    (f"{PLATFORM} --retry-attempts 0 create-group team".split(), "at least 1"),
    # Outside a checkout and any CI system nothing can be detected.
    (f"{PLATFORM} run --group g --repository r --branch b".split(), "--commit is required"),
    (f"{PLATFORM} run --group g --commit abcdef1 --repository r".split(), "not a git repository"),
])
def test_usage_errors_exit_2_before_any_request(argv, complaint, capsys, tmp_path):
    try:
        code = cli.main(argv, environ={}, cwd=str(tmp_path))
    except SystemExit as stopped:
        code = stopped.code
    assert code == 2
    assert complaint in capsys.readouterr().err


@pytest.mark.parametrize("body, expected", [
    ('{"detail": "Неизвестный тип отчёта:\\n  Semgrep"}', "Неизвестный тип отчёта: Semgrep"),
    ('{"detail": {"scan_type": ["required"]}}', '{"scan_type": ["required"]}'),
    ('{"error": "x"}', '{"error": "x"}'),
    ("<html><head><title>502 Bad Gateway</title></head><body>nginx</body></html>", "HTML page: 502 Bad Gateway"),
    ("plain\n\ntext", "plain text"), ("x" * 400, "x" * 299 + "…"), ("  ", None), (None, None),
])
def test_platform_detail_is_one_line(body, expected):
    assert cli.platform_detail(body) == expected


# Whole runs in a subprocess, against the simulator.


@pytest.fixture
def client_built():
    pytest.importorskip("quillon_agent.platform_client")


@pytest.fixture
def sim(client_built):
    with Simulator(token=TOKEN) as simulator:
        yield simulator


# The installed command when there is one; the package itself on PYTHONPATH
# is imported first either way.
COMMAND = [shutil.which("quillon-agent", path=str(Path(sys.executable).parent)) or ""]
if not COMMAND[0]:
    COMMAND = [sys.executable, "-m", "quillon_agent"]
# Variables by which a CI system (the one running this suite, say) would be detected.
_CI_PREFIXES = ("QUILLON_", "GITHUB_", "GITLAB_", "CI_", "JENKINS_", "GIT_", "CHANGE_", "TF_BUILD", "BUILD_",
                "SYSTEM_", "BITBUCKET_", "CIRCLE")


def agent(sim, *argv, env=None, timeout=60, cwd=None):
    environ = subprocess_env({key: value for key, value in os.environ.items() if not key.startswith(_CI_PREFIXES)})
    environ.update({"QUILLON_PLATFORM_URL": sim.url, "QUILLON_API_TOKEN": TOKEN} if env is None else env)
    return subprocess.run(
        [*COMMAND, *argv], capture_output=True, text=True, env=environ, timeout=timeout, cwd=cwd
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


@pytest.mark.parametrize("prepare, argv, exit_code, message", [
    (None, ["--api-token", "wrong", "find-groups", "team"], 2, "Ошибка авторизации"),
    (None, ["engagement-status", "abc"], 1, "минимум 5 символов"),
    (None, f"upload-report /no/report.json --scan-type T {UPLOAD_TARGET}".split(), 4, "Файл отчёта не найден"),
    (None, ["wait", COMMIT, "--interval", "1", "--max-wait", "1"], 8, "Сканирование не появилось"),
    ("ambiguous", ["engagement-status", COMMIT, "--branch", "main"], 1, "Замените --group или --source-url"),
    ("html", ["find-groups", "team"], 5, "HTML"),
    (None, ["submit-scan", "999999", "{archive}"], 7, "Ресурс не найден"),
])
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
    result = subprocess.run([*COMMAND, "demo"], capture_output=True, text=True, timeout=120, env=subprocess_env())
    summary = output(result)
    assert summary["scan"]["scan_id"] and len(summary["reports"]) == 2
    assert "Platform simulator started at http://127.0.0.1:" in result.stderr
    assert "503 on purpose" in result.stderr and "попытка 1/30" in result.stderr
    assert "Demo finished" in result.stderr


def test_version_on_the_command():
    result = subprocess.run([*COMMAND, "--version"], capture_output=True, text=True, timeout=60)
    assert result.stdout.strip() == f"quillon-agent {quillon_agent.__version__}"


# Everything that can be checked locally is, before the first request.

RUN = f"run --group team --repository backend --branch main --commit {COMMIT}".split()


@pytest.mark.parametrize("argv, env, exit_code, complaint", [
    ([*RUN, "--report", "T={missing}"], None, 4, "report (T) '{missing}': not found"),
    ([*RUN, "--report", "T={workdir}"], None, 4, "is a directory, not a file"),
    ([*RUN, "--archive", "{missing}"], None, 4, "scan archive '{missing}': not found"),
    ([*RUN, "--commit", "x/y", "--wait"], None, 1, "--commit: 'x/y' is not a commit SHA or scan id"),
    ([*RUN, "--group", " "], None, 1, "--group must not be empty"),
    ([*RUN, "--branch", "caf\udce9"], None, 1, "--branch: 'caf\\xe9' is not valid UTF-8 text"),
    (["--ca-bundle", "{missing}", *RUN], None, 4, "CA bundle '{missing}': not found"),
    (RUN, {"QUILLON_API_TOKEN": "two\nlines"}, 2, "the API token (environment) holds control characters"),
], ids=["missing-report", "directory-report", "missing-archive", "bad-commit", "empty-group", "undecodable",
         "missing-ca-bundle", "token-with-inner-newline"],
)
def test_local_problems_stop_the_run_before_any_request(sim, workdir, argv, env, exit_code, complaint):
    def fill(text):
        return text.replace("{missing}", str(workdir / "missing.json")).replace("{workdir}", str(workdir))

    environ = {"QUILLON_PLATFORM_URL": sim.url, "QUILLON_API_TOKEN": TOKEN, **(env or {})}
    result = agent(sim, *map(fill, argv), env=environ)
    assert (result.returncode, result.stdout) == (exit_code, "")
    assert fill(complaint) in result.stderr
    assert "Traceback" not in result.stderr and "two\nlines" not in result.stderr
    assert sim.requests == []


# Commit, branch, repository and source URL from the CI system or git.


def test_run_detects_a_gitlab_merge_request(sim, workdir):
    env = {"QUILLON_PLATFORM_URL": sim.url, "QUILLON_API_TOKEN": TOKEN, "GITLAB_CI": "true", "CI_COMMIT_SHA": COMMIT,
           "CI_COMMIT_REF_NAME": "feature/login", "CI_MERGE_REQUEST_SOURCE_BRANCH_NAME": "feature/login",
           "CI_PROJECT_URL": "https://gitlab.example/team/backend", "CI_PROJECT_NAME": "backend"}
    report = f"Semgrep JSON Report={workdir / 'semgrep.json'}"
    result = output(agent(sim, "run", "--group", "team", "--report", report, env=env))
    engagement = sim.state.engagements[int(result["engagement_id"])]
    assert (engagement.name, engagement.branch.name, engagement.repository.name) == (COMMIT, "feature/login", "backend")
    assert engagement.repository.web_url == "https://gitlab.example/team/backend"
    assert engagement.repository.group.web_url == "https://gitlab.example/team"


@pytest.mark.skipif(shutil.which("git") is None, reason="git is not installed")
def test_options_win_over_detection_and_dry_run_sends_nothing(sim, workdir):
    repo = workdir / "checkout"
    repo.mkdir()
    for args in (["init", "-q", "-b", "main"], ["commit", "-q", "--allow-empty", "-m", "x"],
                 ["remote", "add", "origin", "git@git.example:team/backend.git"]):
        subprocess.run(["git", "-c", "user.name=t", "-c", "user.email=t@e", *args], cwd=repo, check=True)
    head = subprocess.run(["git", "rev-parse", "HEAD"], cwd=repo, capture_output=True, text=True).stdout.strip()

    summary = output(agent(sim, "run", "--group", "team", "--branch", "release", "--dry-run", cwd=repo, env={}))
    assert summary["detected"] == {"system": "git", "commit": head, "branch": "main", "repository": "backend",
                                   "source_url": "https://git.example/team/backend", "git_problem": None}
    sent = summary["would_send"]
    assert (sent["engagement"]["name"], sent["branch"]["name"]) == (head, "release")
    assert sent["group"] == {"name": "team", "web_url": "https://git.example/team"}
    assert sim.requests == []


# Failures a user can act on without --verbose.


def test_error_shows_step_status_and_platform_detail_masked(sim, workdir):
    detail = {"detail": f"scan_type 'Nope' is unknown;\n token {TOKEN} was used"}
    sim.inject("/api/v1/git/ci-cd/scan", [faults.respond(400, detail)])
    result = agent(sim, "upload-report", str(workdir / "semgrep.json"), "--scan-type", "Nope", *UPLOAD_TARGET.split())
    assert result.returncode == 6
    assert result.stderr.splitlines() == [
        "Ошибка API",
        "  step: загрузка отчёта Nope",
        "  HTTP status: 400",
        "  platform answer: scan_type 'Nope' is unknown; token *** was used",
        "  (--verbose shows the whole answer and the request as a curl command)",
    ]


@pytest.mark.parametrize("options, env", [
    (["--retry-attempts", "2", "--retry-pause", "0"], {}), ([], {"QUILLON_RETRY_ATTEMPTS": "2", "QUILLON_RETRY_PAUSE": "0"}),
], ids=["options", "environment"])
def test_retries_can_be_shortened(sim, refused_base_url, options, env):
    environ = {"QUILLON_PLATFORM_URL": refused_base_url, "QUILLON_API_TOKEN": TOKEN, **env}
    result = agent(sim, *options, "find-groups", "team", env=environ, timeout=30)
    assert result.returncode == 3
    assert "попытка 1/2" in result.stderr and "попытка 2/2" not in result.stderr


@pytest.mark.parametrize("source", ["variable", "file", "file-variable"])
def test_token_loses_surrounding_whitespace(sim, tmp_path, source):
    token_file = tmp_path / "token"
    token_file.write_text(f"  {TOKEN}\n")
    environ = {"QUILLON_PLATFORM_URL": sim.url}
    argv = []
    if source == "variable":
        environ["QUILLON_API_TOKEN"] = TOKEN + "\n"
    elif source == "file":
        argv = ["--api-token-file", str(token_file)]
    else:
        environ["QUILLON_API_TOKEN_FILE"] = str(token_file)
    assert output(agent(sim, *argv, "create-group", "team", env=environ))["id"]
    assert sim.requests[0].headers["Authorization"] == TOKEN


def test_redirects_are_not_followed_but_named(sim):
    sim.inject("/", [faults.redirect("https://user:pw@platform.example/api/")])
    result = agent(sim, "find-groups", "team")
    assert result.returncode == 5
    assert "перенаправлением HTTP 301 на https://***@platform.example/api/" in result.stderr
    assert "pw" not in result.stderr


def test_report_examples_name_the_platforms_scan_types(tmp_path, capsys):
    with pytest.raises(SystemExit):
        cli.main(["run", "--help"])
    run_help = " ".join(capsys.readouterr().out.split())
    readme = (Path(__file__).resolve().parents[1] / "README.md").read_text(encoding="utf-8")
    shown = set(re.findall(r'--report "([^"=]+)=', readme + run_help)) | set(re.findall(r'e\.g\. "([^"=]+)=', run_help))
    assert shown == {report.scan_type for report in demo.write_sample_reports(str(tmp_path))}
