"""Command line of the agent: python -m quillon_agent COMMAND ...

Results go to stdout as JSON; progress and diagnostics go to stderr. A platform
failure exits with the code the client attached to it.
"""

from __future__ import annotations

import argparse
import json
import logging
import os
import sys
from typing import TYPE_CHECKING, Any, Callable, Mapping, Optional, Sequence

from .config import (
    ENV_API_TOKEN,
    ENV_CA_BUNDLE,
    ENV_INSECURE,
    ENV_PLATFORM_URL,
    ENV_TIMEOUT,
    ENV_VERBOSE,
    Config,
    ConfigError,
    verbose_requested,
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
    from .platform_client import PlatformClient, PlatformError

    _Commands = argparse._SubParsersAction[argparse.ArgumentParser]
    _Handler = Callable[[PlatformClient, argparse.Namespace], Any]

LOGGER_NAME = "quillon_agent"
EXIT_LOCAL_FILE = 4
EXIT_INTERRUPTED = 130

_HANDLER_NAME = "quillon_agent.cli"

_DESCRIPTION = """\
Report a CI pipeline's security results to the platform.

Every command needs the platform URL and an API token: pass --platform-url and
--api-token, or set QUILLON_PLATFORM_URL and QUILLON_API_TOKEN. Global options
go before the command name. `demo` needs neither: it runs against a local
simulator.
"""

_EPILOG = """\
exit codes:
  0  success
  1  invalid scan id, or several scans match (narrow with --group/--source-url)
  2  authorization failure (bad token or missing rights), or a usage error
  3  network or TLS failure after retries
  4  a local file (report, scan archive) is missing or unreadable
  5  platform error (not found, unexpected answer)
  6  report upload or status update rejected
  7  scan submission rejected
  8  the scan did not appear in time
"""


def main(argv: Optional[Sequence[str]] = None, environ: Mapping[str, str] = os.environ) -> int:
    parser = build_parser()
    options = parser.parse_args(argv)
    try:
        verbose = verbose_requested(options, environ)
        show_progress = progress_wanted(options, environ)
        # The demo brings its own platform, so it needs no URL or token.
        config = None if options.command == "demo" else Config.from_options(options, environ)
    except ConfigError as error:
        parser.error(str(error))
    configure_logging(verbose)
    client_class, platform_error = _load_client()
    try:
        if config is None:
            from .demo import run_demo

            result = run_demo(client_class, verbose=verbose)
        else:
            with upload_progress(show_progress, secret=config.api_token):
                result = options.handler(client_class(config), options)
    except platform_error as error:
        print(str(error), file=sys.stderr)
        return error.exit_code
    except OSError as error:
        print(f"quillon_agent: {error}", file=sys.stderr)
        return EXIT_LOCAL_FILE
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED
    print(json.dumps(result, ensure_ascii=False, indent=2))
    return 0


def configure_logging(verbose: bool) -> None:
    """One stderr handler on the agent's logger; calling again replaces it, not adds to it."""
    logger = logging.getLogger(LOGGER_NAME)
    logger.handlers = [handler for handler in logger.handlers if handler.get_name() != _HANDLER_NAME]
    handler = logging.StreamHandler(sys.stderr)
    handler.set_name(_HANDLER_NAME)
    handler.setFormatter(logging.Formatter("%(asctime)s %(levelname)-7s %(message)s", "%H:%M:%S"))
    logger.addHandler(handler)
    logger.setLevel(logging.DEBUG if verbose else logging.INFO)
    logger.propagate = False


def _load_client() -> tuple[type[PlatformClient], type[PlatformError]]:
    # The extension is compiled; importing it lazily keeps --help and usage
    # errors working where it has not been built.
    try:
        from quillon_agent.platform_client import PlatformClient, PlatformError
    except ImportError as error:
        raise SystemExit(f"quillon_agent: the platform client extension is not available: {error}") from None
    return PlatformClient, PlatformError


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
    run = PipelineRun(
        group=options.group,
        repository=options.repository,
        branch=options.branch,
        commit=options.commit,
        engagement=options.engagement,
        description=options.description,
        source_url=options.source_url,
        group_url=options.group_url,
        reports=options.report,
        status=options.status,
        archive=options.archive,
        wait=options.wait,
        interval=options.interval,
        max_wait=options.max_wait,
    )
    return run_pipeline(client, run)


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
        prog="python -m quillon_agent",
        description=_DESCRIPTION,
        epilog=_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
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


def _add_run_command(commands: _Commands) -> None:
    command = _command(
        commands,
        "run",
        _run,
        "run a whole pipeline: group, repository, branch, engagement, reports, status, scan",
        description="Create or find the group, repository, branch and engagement of this pipeline, "
        "upload the scanner reports, report the pipeline status, and optionally submit a scan "
        "archive and wait for the platform's scan of the commit.",
    )
    command.add_argument("--group", required=True, metavar="NAME", help="repository group name")
    command.add_argument("--repository", required=True, metavar="NAME", help="repository name")
    command.add_argument("--branch", required=True, metavar="NAME", help="branch name")
    command.add_argument("--commit", required=True, metavar="SHA", help="commit SHA the pipeline ran on")
    command.add_argument("--engagement", metavar="NAME", help="engagement name (default: the commit SHA)")
    command.add_argument("--description", default="", metavar="TEXT", help="engagement description")
    command.add_argument(
        "--source-url", metavar="URL", help="web URL of the repository in your VCS; its parent is the group's URL"
    )
    command.add_argument("--group-url", metavar="URL", help="web URL of the group (default: derived from --source-url)")
    command.add_argument(
        "--report",
        action="append",
        default=[],
        type=_report_file,
        metavar="SCAN_TYPE=PATH",
        help='a report to upload, e.g. "Semgrep JSON Report=out/semgrep.json"; repeat for several',
    )
    command.add_argument(
        "--status", default="finished", metavar="STATUS", help="pipeline status to report (default: %(default)s)"
    )
    command.add_argument("--archive", metavar="PATH", help="prepared scan archive to submit after the reports")
    command.add_argument("--wait", action="store_true", help="wait until the platform has created the scan")
    _add_wait_options(command)


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
    commands: _Commands, name: str, handler: _Handler, help_text: str, description: Optional[str] = None
) -> argparse.ArgumentParser:
    description = description or help_text[:1].upper() + help_text[1:] + "."
    command = commands.add_parser(name, help=help_text, description=description)
    command.set_defaults(handler=handler)
    return command


def _add_global_options(parser: argparse.ArgumentParser) -> None:
    # Defaults are None so that an option not given falls back to its variable.
    parser.add_argument("--platform-url", metavar="URL", help=f"platform base URL (env {ENV_PLATFORM_URL})")
    parser.add_argument("--api-token", metavar="TOKEN", help=f"platform API token (env {ENV_API_TOKEN})")
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
