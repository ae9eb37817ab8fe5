"""A host script as an agent author would write it, kept for `mypy --strict`.

It is type-checked, never run: it calls every public operation of the client
the way a host does, and the last function holds calls that must stay
rejected (each ignore is for a specific error, and mypy reports an ignore that
is no longer needed), so a stub that loosened a signature fails the check.
"""

from __future__ import annotations

import logging
import sys
from typing import Any, Optional

from quillon_agent.config import Config
from quillon_agent.platform_client import Endpoints, PlatformClient, PlatformError, _format_error_context

log = logging.getLogger("sample_host")


def register_pipeline(client: PlatformClient, commit: str, reports: dict[str, str]) -> str:
    group_id: str = client.create_or_get_group("backend", "https://git.example.com/backend")
    repository_id: str = client.create_or_get_repository("api", group_id, None)
    branch_id: str = client.create_or_get_branch("main", repository_id, web_url=None)
    engagement_id: str = client.create_or_get_engagement(commit, branch_id, description="nightly")
    assert client.get_engagement_id(commit, branch_id) == engagement_id
    for scan_type, path in reports.items():
        answer: dict[Any, Any] = client.upload_report(path, scan_type, commit, repository_id, "main")
        log.info("uploaded %s: %s", scan_type, answer.get("id"))
    client.update_engagement_status(engagement_name=commit, branch_name="main", repository_id=repository_id)
    client.update_engagement_status(
        engagement_name=commit, branch_name="main", repository_id=repository_id, engagement_status="failed"
    )
    client.submit_scan(engagement_id, "prepared-scan.zip")
    return engagement_id


def inspect_platform(client: PlatformClient, commit: str) -> Optional[dict[Any, Any]]:
    status = client.get_engagement_status(commit)
    narrowed = client.get_engagement_status(
        commit,
        branch_name="main",
        repository_name="api",
        group_name="backend",
        group_url=None,
        group_id="7",
        integration_type="API",
    )
    groups: list[Any] = client.find_groups("backend", web_url=None, include_target_params=True)
    by_id = client.get_repository_details("12")
    by_name = client.get_repository_details(repository_name="api", group_id=str(groups[0]["id"]))
    empty = client.get_repository_details()
    scan = client.wait_for_engagement(commit, group_name="backend", interval=60, timeout=600)
    listed = client.get(Endpoints.GROUPS_LIST, {"name": "backend"}, context="search groups by name 'backend'")
    posted = client.post_form(Endpoints.GROUP, {"name": "backend"}, None, "create group", 5)
    sent = client.post_json(Endpoints.STATUS.format(commit), {"status": "done"}, default_exit=6)
    for answer in (status, narrowed, by_id, by_name, empty, listed, posted, sent):
        log.debug("%s", answer)
    return scan or None


def main() -> int:
    config = Config(platform_url="https://platform.example.com", api_token="token")
    client = PlatformClient(config)
    try:
        register_pipeline(client, "3f9c2a1b7d4e", {"Semgrep JSON Report": "semgrep.json"})
        inspect_platform(client, "3f9c2a1b7d4e")
    except PlatformError as error:
        print(str(error), file=sys.stderr)
        code: int = error.exit_code
        status: int = error.http_status
        details: list[Optional[str]] = [error.context, error.curl, error.response_body, error.message]
        if error.context:
            details.append(_format_error_context(error.context))
        log.debug("HTTP %s, %s", status, details)
        return code
    return 0


def rejected_calls(client: PlatformClient) -> None:
    client.create_or_get_group("backend")  # type: ignore[call-arg]
    client.update_engagement_status("e", "main", "12")  # type: ignore[call-arg]
    client.get_repository_details("12", "api")  # type: ignore[call-arg]
    client.submit_scan(42, "scan.zip")  # type: ignore[arg-type]
    client.find_groups("backend", web_url="u", repository="api")  # type: ignore[call-arg]
    identifier: int = client.create_or_get_engagement("e", "1")  # type: ignore[assignment]
    PlatformClient()  # type: ignore[call-arg]
    PlatformError("message")  # type: ignore[call-arg]
    del identifier


if __name__ == "__main__":
    sys.exit(main())
