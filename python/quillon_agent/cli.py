"""Command line of the agent: quillon-agent COMMAND ... (or python -m quillon_agent).

Results go to stdout as JSON; progress and diagnostics go to stderr. A platform
failure exits with the code the client attached to it.
"""

from __future__ import annotations

import argparse
import json
import logging
import os
import re
import sys
from typing import TYPE_CHECKING, Any, Callable, Mapping, Optional, Sequence

from . import __version__
from .ci_detect import Detected, detect, strip_userinfo
from .masking import Masker, MaskingFilter
from .config import (
    ENV_API_TOKEN,
    ENV_API_TOKEN_FILE,
    ENV_CA_BUNDLE,
    ENV_INSECURE,
    ENV_PLATFORM_URL,
    ENV_RETRY_ATTEMPTS,
    ENV_RETRY_PAUSE,
    ENV_TIMEOUT,
    ENV_VERBOSE,
    Config,
    ConfigError,
    verbose_requested,
)
from .local_checks import (
    LocalCheckError,
    check_arguments_sendable,
    check_names,
    check_readable_file,
    check_scan_id,
    check_text_sendable,
    check_token_sendable,
)
from .pipeline import (
    DEFAULT_MAX_WAIT,
    DEFAULT_WAIT_INTERVAL,
    PipelineRun,
    ReportFile,
    group_url_from_source,
    run_pipeline,
)
from .progress import add_no_progress_option, progress_wanted, upload_progress

if TYPE_CHECKING:
    from types import ModuleType

    from .platform_client import PlatformClient, PlatformError

    _Commands = argparse._SubParsersAction[argparse.ArgumentParser]
    _Handler = Callable[[PlatformClient, argparse.Namespace], Any]

LOGGER_NAME = "quillon_agent"
PROG = "quillon-agent"
EXIT_USAGE = 2
EXIT_LOCAL_FILE = 4
EXIT_INTERRUPTED = 130
# Longest platform detail shown under an error; --verbose shows it all.
DETAIL_WIDTH = 300

_HANDLER_NAME = "quillon_agent.cli"

_DESCRIPTION = """\
Report a CI pipeline's security results to the platform.

Every command needs the platform URL and an API token: pass --platform-url and
--api-token (or --api-token-file), or set QUILLON_PLATFORM_URL and
QUILLON_API_TOKEN. Surrounding whitespace (a trailing newline, say) is removed
from the token; it is never printed. Global options go before the command
name. `demo` and `run --dry-run` need neither.
"""

_EPILOG = """\
exit codes:
  0  success
  1  invalid scan id or argument, or several scans match (narrow with
     --group/--source-url)
  2  authorization failure (bad token or missing rights), or a usage error
  3  network or TLS failure after retries
  4  a local file (report, scan archive) is missing or unreadable
  5  platform error (not found, unexpected answer)
  6  report upload or status update rejected
  7  scan submission rejected
  8  the scan did not appear in time
"""


def main(
    argv: Optional[Sequence[str]] = None, environ: Mapping[str, str] = os.environ, cwd: Optional[str] = None
) -> int:
    arguments = list(sys.argv[1:] if argv is None else argv)
    parser = build_parser()
    options = parser.parse_args(arguments)
    try:
        verbose = verbose_requested(options, environ)
        show_progress = progress_wanted(options, environ)
        config = None if _needs_no_platform(options) else Config.from_options(options, environ)
    except ConfigError as error:
        parser.error(str(error))
    mask = Masker(config.api_token if config else None)
    configure_logging(verbose, mask)
    try:
        check_arguments_sendable(arguments, secret_options=("--api-token",))
        if config is not None:
            check_config(config, options)
        _strip_userinfo_from_urls(options)
        if options.command == "run":
            options.pipeline_run, detected = prepare_run(options, environ, cwd or os.getcwd())
    except LocalCheckError as error:
        print(f"{PROG}: {mask(str(error))}", file=sys.stderr)
        return error.exit_code
    if options.command == "run" and options.dry_run:
        print(mask(json.dumps(dry_run_summary(options.pipeline_run, detected), ensure_ascii=False, indent=2)))
        return 0
    module = _load_client_module()
    platform_error: type[PlatformError] = module.PlatformError
    try:
        if config is None:
            try:
                from .demo import run_demo
            except ImportError as error:
                raise SystemExit(f"{PROG}: {error}") from None
            result = run_demo(module.PlatformClient, verbose=verbose)
        else:
            apply_retry_settings(module, config)
            client = module.PlatformClient(config)
            with upload_progress(show_progress, secret=config.api_token):
                result = options.handler(client, options)
    except platform_error as error:
        report_platform_error(error, mask, detailed=verbose)
        return error.exit_code
    except OSError as error:
        print(f"{PROG}: {mask(str(error))}", file=sys.stderr)
        return EXIT_LOCAL_FILE
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED
    # A platform that echoes the token back must not get it into a CI log.
    print(mask(json.dumps(result, ensure_ascii=False, indent=2)))
    return 0


def _strip_userinfo_from_urls(options: argparse.Namespace) -> None:
    # A clone URL pasted with its credentials must not reach the platform.
    for name in ("web_url", "source_url", "group_url"):
        value = getattr(options, name, None)
        if value:
            setattr(options, name, strip_userinfo(value))


def _needs_no_platform(options: argparse.Namespace) -> bool:
    # The demo brings its own platform; a dry run talks to none.
    return bool(options.command == "demo" or (options.command == "run" and options.dry_run))


def configure_logging(verbose: bool, mask: Optional[Masker] = None) -> None:
    """One stderr handler on the agent's logger; calling again replaces it, not adds to it.
    Every line it writes has the token masked, whoever logged it."""
    logger = logging.getLogger(LOGGER_NAME)
    logger.handlers = [handler for handler in logger.handlers if handler.get_name() != _HANDLER_NAME]
    handler = logging.StreamHandler(sys.stderr)
    handler.set_name(_HANDLER_NAME)
    handler.setFormatter(logging.Formatter("%(asctime)s %(levelname)-7s %(message)s", "%H:%M:%S"))
    if mask is not None:
        handler.addFilter(MaskingFilter(mask))
    logger.addHandler(handler)
    logger.setLevel(logging.DEBUG if verbose else logging.INFO)
    logger.propagate = False


def _load_client_module() -> ModuleType:
    # The extension is compiled; importing it lazily keeps --help and usage
    # errors working where it has not been built.
    try:
        from quillon_agent import platform_client
    except ImportError as error:
        raise SystemExit(f"{PROG}: the platform client extension is not available: {error}") from None
    return platform_client


def apply_retry_settings(module: ModuleType, config: Config) -> None:
    """--retry-attempts and --retry-pause replace the module's constants, which it reads at each request."""
    if config.retry_attempts is not None:
        setattr(module, "_REQUEST_RETRY_ATTEMPTS", config.retry_attempts)
    if config.retry_pause is not None:
        setattr(module, "_REQUEST_RETRY_SLEEP_SECONDS", config.retry_pause)


# Checks and preparation before the first request.


def check_config(config: Config, options: argparse.Namespace) -> None:
    token_origin = (
        "--api-token" if options.api_token else "--api-token-file" if options.api_token_file else "environment"
    )
    check_token_sendable(config.api_token, token_origin)
    check_text_sendable(config.platform_url, "platform URL")
    if config.ca_bundle:
        check_readable_file(config.ca_bundle, "CA bundle")


def prepare_run(
    options: argparse.Namespace, environ: Mapping[str, str], cwd: str
) -> tuple[PipelineRun, Detected]:
    """The pipeline run from the options, with what they leave out detected; checked throughout."""
    given = {
        "commit": options.commit,
        "branch": options.branch,
        "repository": options.repository,
        "source_url": options.source_url,
    }
    detected = detect(environ, cwd) if options.dry_run or not all(given.values()) else Detected()

    def pick(name: str) -> tuple[Optional[str], str]:
        option = "--" + name.replace("_", "-")
        if given[name]:
            return given[name], option
        value = getattr(detected, name)
        return value, f"{name.replace('_', ' ')} (detected from {detected.system})"

    def required(name: str) -> tuple[str, str]:
        value, origin = pick(name)
        if not value:
            raise LocalCheckError(f"--{name} is required: {_why_not_detected(detected)}", EXIT_USAGE)
        return value, origin

    commit, commit_origin = required("commit")
    branch, branch_origin = required("branch")
    repository, repository_origin = required("repository")
    source_url, source_origin = pick("source_url")

    check_names(
        [
            ("--group", options.group),
            (repository_origin, repository),
            (branch_origin, branch),
            ("--engagement", options.engagement),
            ("--status", options.status),
        ]
    )
    check_scan_id(commit, commit_origin)
    for text, origin in ((options.description, "--description"), (source_url, source_origin)):
        check_text_sendable(text, origin)
    check_text_sendable(options.group_url, "--group-url")
    for report in options.report:
        check_names([("--report scan type", report.scan_type)])
        check_readable_file(report.path, f"report ({report.scan_type})")
    if options.archive:
        check_readable_file(options.archive, "scan archive")

    run = PipelineRun(
        group=options.group,
        repository=repository,
        branch=branch,
        commit=commit,
        engagement=options.engagement,
        description=options.description,
        source_url=source_url,
        group_url=options.group_url,
        reports=options.report,
        status=options.status,
        archive=options.archive,
        wait=options.wait,
        interval=options.interval,
        max_wait=options.max_wait,
    )
    return run, detected


def _why_not_detected(detected: Detected) -> str:
    where = f"{detected.system} does not provide it" if detected.system else "no CI system recognised"
    git = detected.git_problem or "git did not tell either"
    return f"not given, and not detected ({where}; {git})"


def dry_run_summary(run: PipelineRun, detected: Detected) -> dict[str, Any]:
    """What `run` would send, step by step, and what detection found."""
    return {
        "detected": {
            "system": detected.system,
            "commit": detected.commit,
            "branch": detected.branch,
            "repository": detected.repository,
            "source_url": detected.source_url,
            "git_problem": detected.git_problem,
        },
        "would_send": {
            "group": {"name": run.group, "web_url": run.effective_group_url},
            "repository": {"name": run.repository, "web_url": run.source_url},
            "branch": {"name": run.branch},
            "engagement": {"name": run.engagement_name, "description": run.description},
            "reports": [
                {"scan_type": report.scan_type, "path": report.path, "size": os.path.getsize(report.path)}
                for report in run.reports
            ],
            "status": run.status,
            "archive": run.archive,
            "wait": {"scan_id": run.commit, "interval": run.interval, "max_wait": run.max_wait} if run.wait else None,
        },
    }


# Failures.


def report_platform_error(error: PlatformError, mask: Masker, *, detailed: bool) -> None:
    """The error's message, then the step, the HTTP status and the platform's own words, one line each.

    With --verbose the error's own detailed form already carries all of it, and the curl command.
    """
    print(mask(str(error)), file=sys.stderr)
    if detailed:
        return
    for line in error_details(error):
        print("  " + mask(line), file=sys.stderr)


def error_details(error: PlatformError) -> list[str]:
    lines = []
    if error.context:
        lines.append(f"step: {_step_label(error.context)}")
    if error.http_status:  # 0 or None: no answer came
        lines.append(f"HTTP status: {error.http_status}")
    detail = platform_detail(error.response_body)
    if detail:
        lines.append(f"{'platform answer' if error.http_status else 'detail'}: {detail}")
    if error.curl:
        lines.append("(--verbose shows the whole answer and the request as a curl command)")
    return lines


def _step_label(context: str) -> str:
    try:
        from quillon_agent.platform_client import _format_error_context

        return str(_format_error_context(context))
    except Exception:  # a label is a nicety; the English context will do
        return context


def platform_detail(body: Optional[str], width: int = DETAIL_WIDTH) -> Optional[str]:
    """The "detail" of a JSON answer, the title of an HTML page, else the body; on one line."""
    if not body or not body.strip():
        return None
    text = body
    try:
        answer = json.loads(body)
    except ValueError:
        answer = None
    if isinstance(answer, dict) and "detail" in answer:
        detail = answer["detail"]
        text = detail if isinstance(detail, str) else json.dumps(detail, ensure_ascii=False)
    elif body.lstrip()[:1] == "<":
        title = re.search(r"<title[^>]*>(.*?)</title>", body, re.IGNORECASE | re.DOTALL)
        text = f"HTML page: {title.group(1)}" if title else "HTML page"
    line = " ".join(text.split())
    return line if len(line) <= width else line[: width - 1] + "…"


# Command handlers: (client, options) -> a JSON-serialisable result.


def _create_group(client: PlatformClient, options: argparse.Namespace) -> dict[str, Any]:
    return {"id": client.create_or_get_group(options.name, options.web_url)}


def _create_repository(client: PlatformClient, options: argparse.Namespace) -> dict[str, Any]:
    return {"id": client.create_or_get_repository(options.name, options.group_id, options.web_url)}


def _create_branch(client: PlatformClient, options: argparse.Namespace) -> dict[str, Any]:
    return {"id": client.create_or_get_branch(options.name, options.repository_id, options.web_url)}


def _create_engagement(client: PlatformClient, options: argparse.Namespace) -> dict[str, Any]:
    return {"id": client.create_or_get_engagement(options.name, options.branch_id, options.description)}


def _get_engagement_id(client: PlatformClient, options: argparse.Namespace) -> dict[str, Any]:
    return {"id": client.get_engagement_id(options.name, options.branch_id)}


def _upload_report(client: PlatformClient, options: argparse.Namespace) -> Any:
    return client.upload_report(
        options.report, options.scan_type, options.engagement, options.repository_id, options.branch
    )


def _update_status(client: PlatformClient, options: argparse.Namespace) -> Any:
    return client.update_engagement_status(
        engagement_name=options.engagement,
        branch_name=options.branch,
        repository_id=options.repository_id,
        engagement_status=options.status,
    )


def _submit_scan(client: PlatformClient, options: argparse.Namespace) -> Any:
    return client.submit_scan(options.engagement_id, options.archive)


def _engagement_status(client: PlatformClient, options: argparse.Namespace) -> Any:
    return client.get_engagement_status(options.scan_id, **_scan_filters(options))


def _wait(client: PlatformClient, options: argparse.Namespace) -> Any:
    return client.wait_for_engagement(
        options.scan_id, **_scan_filters(options), interval=options.interval, timeout=options.max_wait
    )


def _find_groups(client: PlatformClient, options: argparse.Namespace) -> Any:
    return client.find_groups(options.name, options.web_url, integration_type=options.integration_type)


def _repository_details(client: PlatformClient, options: argparse.Namespace) -> Any:
    return client.get_repository_details(
        options.repository_id, repository_name=options.repository_name, group_id=options.group_id
    )


def _run(client: PlatformClient, options: argparse.Namespace) -> dict[str, Any]:
    # prepare_run() has built and checked the run before any request.
    pipeline_run: PipelineRun = options.pipeline_run
    return run_pipeline(client, pipeline_run)


def _scan_filters(options: argparse.Namespace) -> dict[str, Any]:
    return {
        "branch_name": options.branch,
        "repository_name": options.repository,
        "group_name": options.group,
        "group_url": options.group_url or group_url_from_source(options.source_url),
        "group_id": options.group_id,
        "integration_type": options.integration_type,
    }


# Parser.


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description=_DESCRIPTION,
        epilog=_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    _add_global_options(parser)
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    _add_entity_commands(commands)
    _add_result_commands(commands)
    _add_query_commands(commands)
    _add_run_command(commands)
    _add_demo_command(commands)
    add_no_progress_option(commands, ("run", "upload-report", "submit-scan"))
    return parser


def _add_entity_commands(commands: _Commands) -> None:
    command = _command(commands, "create-group", _create_group, "create a repository group, or find it")
    command.add_argument("name", metavar="NAME", help="group name")
    command.add_argument("--web-url", metavar="URL", help="web URL of the group in your VCS")

    command = _command(commands, "create-repository", _create_repository, "create a repository in a group, or find it")
    command.add_argument("name", metavar="NAME", help="repository name")
    command.add_argument("--group-id", required=True, metavar="ID", help="id of the repository group")
    command.add_argument("--web-url", metavar="URL", help="web URL of the repository in your VCS")

    command = _command(commands, "create-branch", _create_branch, "create a branch of a repository, or find it")
    command.add_argument("name", metavar="NAME", help="branch name")
    command.add_argument("--repository-id", required=True, metavar="ID", help="id of the repository")
    command.add_argument("--web-url", metavar="URL", help="web URL of the branch")

    command = _command(
        commands, "create-engagement", _create_engagement, "create an engagement (one scan run of a branch), or find it"
    )
    command.add_argument("name", metavar="NAME", help="engagement name, usually the commit SHA")
    command.add_argument("--branch-id", required=True, metavar="ID", help="id of the branch")
    command.add_argument("--description", default="", metavar="TEXT", help="free text shown on the platform")

    command = _command(commands, "get-engagement-id", _get_engagement_id, "look up an existing engagement's id")
    command.add_argument("name", metavar="NAME", help="engagement name")
    command.add_argument("--branch-id", required=True, metavar="ID", help="id of the branch")


def _add_result_commands(commands: _Commands) -> None:
    command = _command(commands, "upload-report", _upload_report, "upload one scanner report file to an engagement")
    command.add_argument("report", metavar="REPORT", help="path of the report file")
    command.add_argument(
        "--scan-type",
        required=True,
        metavar="TYPE",
        help='report format as the platform names it, e.g. "Semgrep JSON Report"',
    )
    _add_engagement_target(command)

    command = _command(
        commands, "update-status", _update_status, "tell the platform the pipeline's status for an engagement"
    )
    _add_engagement_target(command)
    command.add_argument(
        "--status", default="finished", metavar="STATUS", help="pipeline status (default: %(default)s)"
    )

    command = _command(commands, "submit-scan", _submit_scan, "launch a platform scan from a prepared archive")
    command.add_argument("engagement_id", metavar="ENGAGEMENT_ID", help="id of the engagement")
    command.add_argument("archive", metavar="ARCHIVE", help="path of the prepared scan archive (zip)")


def _add_query_commands(commands: _Commands) -> None:
    command = _command(
        commands, "engagement-status", _engagement_status, "show the platform's scan for a commit SHA or scan id"
    )
    command.add_argument("scan_id", metavar="SCAN_ID", help="commit SHA or scan id (at least 5 characters)")
    _add_scan_filters(command)

    command = _command(commands, "wait", _wait, "poll until the platform has created the scan for a commit")
    command.add_argument("scan_id", metavar="SCAN_ID", help="commit SHA or scan id (at least 5 characters)")
    _add_scan_filters(command)
    _add_wait_options(command)

    command = _command(commands, "find-groups", _find_groups, "search repository groups by exact name")
    command.add_argument("name", metavar="NAME", help="group name")
    command.add_argument(
        "--web-url", metavar="URL", help="prefer the group whose URL is this URL or one of its parents"
    )
    command.add_argument(
        "--integration-type", metavar="TYPE", help='keep only groups of this type, e.g. "API" or "manual"'
    )

    command = _command(
        commands,
        "repository-details",
        _repository_details,
        "show a repository with its branches, by id or by name within a group",
    )
    command.add_argument("repository_id", nargs="?", metavar="REPOSITORY_ID", help="id of the repository")
    command.add_argument(
        "--repository-name", metavar="NAME", help="repository name (with --group-id, instead of an id)"
    )
    command.add_argument("--group-id", metavar="ID", help="id of the repository's group")


_RUN_EPILOG = """\
In GitHub Actions, GitLab CI, Jenkins (git plugin), Azure Pipelines, Bitbucket
Pipelines and CircleCI the commit, branch, repository name and source URL are
read from the job's variables, elsewhere from git in the working directory;
the options win. A pull or merge request build reports its source branch.
Reports, the archive, the commit and every name are checked before the first
request; --dry-run shows what was detected and what would be sent.

example:
  quillon-agent run --group backend \\
      --report "Semgrep JSON Report=semgrep.json" \\
      --report "Gitleaks Scan=gitleaks.json" --wait
"""


def _add_run_command(commands: _Commands) -> None:
    command = _command(
        commands,
        "run",
        _run,
        "run a whole pipeline: group, repository, branch, engagement, reports, status, scan",
        description="Create or find the group, repository, branch and engagement of this pipeline,\n"
        "upload the scanner reports, report the pipeline status, and optionally submit a\n"
        "scan archive and wait for the platform's scan of the commit.",
        epilog=_RUN_EPILOG,
    )
    command.add_argument("--group", required=True, metavar="NAME", help="repository group name")
    command.add_argument("--repository", metavar="NAME", help="repository name (default: detected)")
    command.add_argument("--branch", metavar="NAME", help="branch name (default: detected)")
    command.add_argument("--commit", metavar="SHA", help="commit SHA the pipeline ran on (default: detected)")
    command.add_argument("--engagement", metavar="NAME", help="engagement name (default: the commit SHA)")
    command.add_argument("--description", default="", metavar="TEXT", help="engagement description")
    command.add_argument(
        "--source-url",
        metavar="URL",
        help="web URL of the repository in your VCS, its parent being the group's URL (default: detected)",
    )
    command.add_argument("--group-url", metavar="URL", help="web URL of the group (default: derived from --source-url)")
    command.add_argument(
        "--report",
        action="append",
        default=[],
        type=_report_file,
        metavar="SCAN_TYPE=PATH",
        help='a report to upload, SCAN_TYPE being the platform\'s name for its format, e.g. '
        '"Semgrep JSON Report=semgrep.json"; repeat for several',
    )
    command.add_argument(
        "--status", default="finished", metavar="STATUS", help="pipeline status to report (default: %(default)s)"
    )
    command.add_argument("--archive", metavar="PATH", help="prepared scan archive to submit after the reports")
    command.add_argument("--wait", action="store_true", help="wait until the platform has created the scan")
    _add_wait_options(command)
    command.add_argument(
        "--dry-run",
        action="store_true",
        help="check everything, print what was detected and what would be sent, and send nothing",
    )


def _add_demo_command(commands: _Commands) -> None:
    # No handler: main() runs the demo itself, as it needs no platform configuration.
    commands.add_parser(
        "demo",
        help="run a whole pipeline against a local platform simulator, with sample reports",
        description="Start a platform simulator on a free loopback port and run a whole pipeline "
        "against it: entities, two sample reports, status update, scan submission and waiting. "
        "Needs no platform URL or token.",
    )


def _command(
    commands: _Commands,
    name: str,
    handler: _Handler,
    help_text: str,
    description: Optional[str] = None,
    epilog: Optional[str] = None,
) -> argparse.ArgumentParser:
    description = description or help_text[:1].upper() + help_text[1:] + "."
    command = commands.add_parser(
        name,
        help=help_text,
        description=description,
        epilog=epilog,
        formatter_class=argparse.RawDescriptionHelpFormatter if epilog else argparse.HelpFormatter,
    )
    command.set_defaults(handler=handler)
    return command


def _add_global_options(parser: argparse.ArgumentParser) -> None:
    # Defaults are None so that an option not given falls back to its variable.
    parser.add_argument("--platform-url", metavar="URL", help=f"platform base URL (env {ENV_PLATFORM_URL})")
    parser.add_argument(
        "--api-token",
        metavar="TOKEN",
        help=f"platform API token, surrounding whitespace removed (env {ENV_API_TOKEN}); "
        "prefer the variable or a file: options show in process lists",
    )
    parser.add_argument(
        "--api-token-file",
        metavar="PATH",
        help=f"read the API token from this file, surrounding whitespace removed (env {ENV_API_TOKEN_FILE})",
    )
    parser.add_argument(
        "--insecure",
        action=argparse.BooleanOptionalAction,
        default=None,
        help=f"do not verify the platform's TLS certificate (env {ENV_INSECURE})",
    )
    parser.add_argument(
        "--ca-bundle", metavar="PATH", help=f"CA bundle to verify the platform's certificate (env {ENV_CA_BUNDLE})"
    )
    parser.add_argument(
        "--timeout", type=float, metavar="SECONDS", help=f"time-out of one HTTP request (env {ENV_TIMEOUT}; default 60)"
    )
    parser.add_argument(
        "--retry-attempts",
        type=int,
        metavar="N",
        help=f"attempts per request on network failures and HTTP 429/5xx (env {ENV_RETRY_ATTEMPTS}; default 30)",
    )
    parser.add_argument(
        "--retry-pause",
        type=float,
        metavar="SECONDS",
        help=f"pause between attempts unless the platform sends Retry-After (env {ENV_RETRY_PAUSE}; default 10)",
    )
    parser.add_argument(
        "-v",
        "--verbose",
        action=argparse.BooleanOptionalAction,
        default=None,
        help=f"log requests and responses, secrets masked (env {ENV_VERBOSE})",
    )


def _add_engagement_target(command: argparse.ArgumentParser) -> None:
    command.add_argument("--engagement", required=True, metavar="NAME", help="engagement name")
    command.add_argument("--repository-id", required=True, metavar="ID", help="id of the repository")
    command.add_argument("--branch", required=True, metavar="NAME", help="branch name")


def _add_scan_filters(command: argparse.ArgumentParser) -> None:
    filters = command.add_argument_group("narrowing, when several repositories have a scan of the same commit")
    filters.add_argument("--branch", metavar="NAME", help="branch name")
    filters.add_argument("--repository", metavar="NAME", help="repository name")
    filters.add_argument("--group", metavar="NAME", help="repository group name")
    filters.add_argument(
        "--source-url", metavar="URL", help="web URL of the repository in your VCS; its parent is the group's URL"
    )
    filters.add_argument("--group-url", metavar="URL", help="web URL of the group (default: derived from --source-url)")
    filters.add_argument("--group-id", metavar="ID", help="id of the repository group")
    filters.add_argument("--integration-type", metavar="TYPE", help='group integration type, e.g. "API" or "manual"')


def _add_wait_options(command: argparse.ArgumentParser) -> None:
    command.add_argument(
        "--interval",
        type=int,
        default=DEFAULT_WAIT_INTERVAL,
        metavar="SECONDS",
        help="pause between checks (default: %(default)s)",
    )
    command.add_argument(
        "--max-wait",
        type=int,
        default=DEFAULT_MAX_WAIT,
        metavar="SECONDS",
        help="give up after this long (default: %(default)s)",
    )


def _report_file(text: str) -> ReportFile:
    try:
        return ReportFile.parse(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None
