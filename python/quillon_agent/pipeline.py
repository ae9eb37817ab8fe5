"""One pipeline run against the platform, from the group down to the scan."""

from __future__ import annotations

import logging
import os
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Sequence
from urllib.parse import urlsplit, urlunsplit

if TYPE_CHECKING:
    from .platform_client import PlatformClient

logger = logging.getLogger(__name__)

DEFAULT_WAIT_INTERVAL = 300
DEFAULT_MAX_WAIT = 4200


@dataclass(frozen=True)
class ReportFile:
    scan_type: str
    path: str

    @classmethod
    def parse(cls, text: str) -> "ReportFile":
        """Read "SCAN_TYPE=PATH"; the type may contain spaces, the path may contain "="."""
        scan_type, separator, path = text.partition("=")
        if not separator or not scan_type.strip() or not path:
            raise ValueError(f"expected SCAN_TYPE=PATH, got {text!r}")
        return cls(scan_type.strip(), path)


@dataclass(frozen=True)
class PipelineRun:
    group: str
    repository: str
    branch: str
    commit: str
    engagement: Optional[str] = None
    description: str = ""
    source_url: Optional[str] = None
    group_url: Optional[str] = None
    reports: Sequence[ReportFile] = ()
    status: str = "finished"
    archive: Optional[str] = None
    wait: bool = False
    interval: int = DEFAULT_WAIT_INTERVAL
    max_wait: int = DEFAULT_MAX_WAIT

    @property
    def engagement_name(self) -> str:
        # The platform names the scan it creates after the engagement: the commit.
        return self.engagement or self.commit

    @property
    def effective_group_url(self) -> Optional[str]:
        return self.group_url or group_url_from_source(self.source_url)


def group_url_from_source(source_url: Optional[str]) -> Optional[str]:
    """The group of https://git.example.com/team/app lives at https://git.example.com/team."""
    if not source_url:
        return None
    parts = urlsplit(source_url.rstrip("/"))
    parent, _, _ = parts.path.rpartition("/")
    if not parent:
        return None
    return urlunsplit((parts.scheme, parts.netloc, parent, "", ""))


def run_pipeline(client: PlatformClient, run: PipelineRun) -> Dict[str, Any]:
    """Create or find the entities, hand over the results, and optionally wait for the scan."""
    group_url = run.effective_group_url
    result: Dict[str, Any] = {}

    _step("group %r", run.group)
    result["group_id"] = client.create_or_get_group(run.group, group_url)
    _step("repository %r", run.repository)
    result["repository_id"] = client.create_or_get_repository(run.repository, result["group_id"], run.source_url)
    _step("branch %r", run.branch)
    result["branch_id"] = client.create_or_get_branch(run.branch, result["repository_id"], None)
    _step("engagement %r", run.engagement_name)
    result["engagement_id"] = client.create_or_get_engagement(run.engagement_name, result["branch_id"], run.description)

    result["reports"] = _upload_reports(client, run, result["repository_id"])

    _step("pipeline status %r", run.status)
    result["status_update"] = client.update_engagement_status(
        engagement_name=run.engagement_name,
        branch_name=run.branch,
        repository_id=result["repository_id"],
        engagement_status=run.status,
    )

    result["scan_submission"] = None
    if run.archive:
        _step("scan submission (%s)", os.path.basename(run.archive))
        result["scan_submission"] = client.submit_scan(result["engagement_id"], run.archive)

    result["scan"] = None
    if run.wait:
        _step("waiting for scan %s (every %ss, at most %ss)", run.commit, run.interval, run.max_wait)
        result["scan"] = client.wait_for_engagement(
            run.commit,
            branch_name=run.branch,
            repository_name=run.repository,
            group_name=run.group,
            group_url=group_url,
            group_id=result["group_id"],
            interval=run.interval,
            timeout=run.max_wait,
        )
    return result


def _upload_reports(client: PlatformClient, run: PipelineRun, repository_id: str) -> List[Dict[str, Any]]:
    uploads = []
    for report in run.reports:
        _step("report %s (%s)", os.path.basename(report.path), report.scan_type)
        answer = client.upload_report(report.path, report.scan_type, run.engagement_name, repository_id, run.branch)
        uploads.append({"scan_type": report.scan_type, "path": report.path, "answer": answer})
    return uploads


def _step(message: str, *args: Any) -> None:
    logger.info("==> " + message, *args)
