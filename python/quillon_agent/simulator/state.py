"""In-memory platform: groups, repositories, branches, engagements, reports, scans.

Ids come from one counter shared by every kind of entity, so an id passed
where another kind was expected is not found instead of silently matching.
"""

from __future__ import annotations

import itertools
import threading
import time
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, List, Optional, Tuple, TypeVar

API_INTEGRATION = "API"


class NotFound(LookupError):
    pass


class Conflict(ValueError):
    pass


@dataclass
class Group:
    id: int
    name: str
    web_url: Optional[str]
    integration_type: str

    def record(self) -> Dict[str, Any]:
        return {"id": self.id, "name": self.name, "web_url": self.web_url, "integration_type": self.integration_type}


@dataclass
class Branch:
    id: int
    name: str
    repository_id: int
    web_url: Optional[str]

    def record(self) -> Dict[str, Any]:
        return {"id": self.id, "name": self.name, "repository_id": self.repository_id, "web_url": self.web_url}


@dataclass
class Repository:
    id: int
    name: str
    group: Group
    web_url: Optional[str]
    branches: List[Branch] = field(default_factory=list)

    def record(self) -> Dict[str, Any]:
        return {
            "id": self.id,
            "name": self.name,
            "repository_group_id": self.group.id,
            "web_url": self.web_url,
            "integration_type": self.group.integration_type,
        }

    def details(self) -> Dict[str, Any]:
        return {**self.record(), "branches": [branch.record() for branch in self.branches]}


@dataclass
class Engagement:
    id: int
    name: str
    branch: Branch
    repository: Repository
    description: str
    status: str = "in_progress"

    def record(self) -> Dict[str, Any]:
        return {
            "id": self.id,
            "name": self.name,
            "branch_id": self.branch.id,
            "description": self.description,
            "engagement_status": self.status,
        }


@dataclass(frozen=True)
class Report:
    id: int
    engagement_id: int
    scan_type: str
    filename: Optional[str]
    size: int

    def record(self) -> Dict[str, Any]:
        return {
            "id": self.id,
            "engagement_id": self.engagement_id,
            "scan_type": self.scan_type,
            "file_name": self.filename,
            "size": self.size,
        }


@dataclass
class Scan:
    id: int
    scan_id: str
    engagement: Engagement
    visible_at: float
    status: str = "created"

    def record(self) -> Dict[str, Any]:
        repository = self.engagement.repository
        group = repository.group
        return {
            "id": self.id,
            "scan_id": self.scan_id,
            "status": self.status,
            "engagement_id": self.engagement.id,
            "engagement_name": self.engagement.name,
            "branch_name": self.engagement.branch.name,
            "repository_id": repository.id,
            "repository_name": repository.name,
            "repository_group_id": group.id,
            "repository_group_name": group.name,
            "repository_group_url": group.web_url,
            "integration_type": group.integration_type,
        }


@dataclass(frozen=True)
class ScanFilter:
    """The optional narrowing query of a scan status lookup."""

    branch_name: Optional[str] = None
    repository_name: Optional[str] = None
    group_name: Optional[str] = None
    group_url: Optional[str] = None
    group_id: Optional[str] = None
    integration_type: Optional[str] = None

    def accepts(self, scan: Scan) -> bool:
        repository = scan.engagement.repository
        group = repository.group
        if self.branch_name and scan.engagement.branch.name != self.branch_name:
            return False
        if self.repository_name and repository.name != self.repository_name:
            return False
        if self.group_name and group.name != self.group_name:
            return False
        if self.group_url and not _url_within(self.group_url, group.web_url):
            return False
        if self.group_id and str(group.id) != self.group_id:
            return False
        if self.integration_type and group.integration_type.lower() != self.integration_type.lower():
            return False
        return True


def _url_within(url: str, group_url: Optional[str]) -> bool:
    """A group URL matches itself and every URL below it."""
    if not group_url:
        return False
    url, group_url = url.rstrip("/"), group_url.rstrip("/")
    return url == group_url or url.startswith(group_url + "/")


class PlatformState:
    """All platform data; every public method is atomic under one lock."""

    def __init__(self, clock: Callable[[], float] = time.monotonic) -> None:
        self._clock = clock
        self._lock = threading.RLock()
        self._ids = itertools.count(1)
        self.groups: Dict[int, Group] = {}
        self.repositories: Dict[int, Repository] = {}
        self.branches: Dict[int, Branch] = {}
        self.engagements: Dict[int, Engagement] = {}
        self.reports: List[Report] = []
        self.scans: List[Scan] = []

    # Upserts return (entity, created).

    def add_group(self, name: str, web_url: Optional[str], integration_type: str) -> Group:
        """Create unconditionally: the platform may hold several groups of one name."""
        with self._lock:
            group = Group(next(self._ids), name, web_url or None, integration_type)
            self.groups[group.id] = group
            return group

    def upsert_group(
        self, name: str, web_url: Optional[str], integration_type: str = API_INTEGRATION
    ) -> Tuple[Group, bool]:
        with self._lock:
            same_name = [group for group in self.groups.values() if group.name == name]
            for group in same_name:
                if group.integration_type.lower() == integration_type.lower():
                    return group, False
            if same_name:
                raise Conflict(f"Группа с именем '{name}' уже существует с другим типом интеграции")
            return self.add_group(name, web_url, integration_type), True

    def upsert_repository(self, name: str, group_id: int, web_url: Optional[str]) -> Tuple[Repository, bool]:
        with self._lock:
            group = _lookup(self.groups, group_id, "группа репозиториев")
            for repository in self.repositories.values():
                if repository.group is group and repository.name == name:
                    return repository, False
            repository = Repository(next(self._ids), name, group, web_url or None)
            self.repositories[repository.id] = repository
            return repository, True

    def upsert_branch(self, name: str, repository_id: int, web_url: Optional[str]) -> Tuple[Branch, bool]:
        with self._lock:
            repository = _lookup(self.repositories, repository_id, "репозиторий")
            for branch in repository.branches:
                if branch.name == name:
                    return branch, False
            branch = Branch(next(self._ids), name, repository.id, web_url or None)
            self.branches[branch.id] = branch
            repository.branches.append(branch)
            return branch, True

    def upsert_engagement(self, name: str, branch_id: int, description: str) -> Tuple[Engagement, bool]:
        with self._lock:
            existing = self.find_engagement(name, branch_id)
            if existing is not None:
                return existing, False
            branch = _lookup(self.branches, branch_id, "ветка")
            repository = self.repositories[branch.repository_id]
            engagement = Engagement(next(self._ids), name, branch, repository, description)
            self.engagements[engagement.id] = engagement
            return engagement, True

    # Lookups.

    def find_engagement(self, name: str, branch_id: int) -> Optional[Engagement]:
        with self._lock:
            for engagement in self.engagements.values():
                if engagement.name == name and engagement.branch.id == branch_id:
                    return engagement
            return None

    def engagement_by_id(self, engagement_id: int) -> Engagement:
        with self._lock:
            return _lookup(self.engagements, engagement_id, "сканирование")

    def engagement_in_repository(self, name: str, repository_id: int, branch_name: str) -> Engagement:
        with self._lock:
            repository = _lookup(self.repositories, repository_id, "репозиторий")
            for branch in repository.branches:
                if branch.name == branch_name:
                    engagement = self.find_engagement(name, branch.id)
                    if engagement is not None:
                        return engagement
            raise NotFound(f"Сканирование '{name}' не найдено в ветке '{branch_name}' репозитория {repository_id}")

    def repository_by_id(self, repository_id: int) -> Repository:
        with self._lock:
            return _lookup(self.repositories, repository_id, "репозиторий")

    def repository_by_name(self, name: str, group_id: int) -> Repository:
        with self._lock:
            for repository in self.repositories.values():
                if repository.name == name and repository.group.id == group_id:
                    return repository
            raise NotFound(f"Репозиторий '{name}' не найден в группе {group_id}")

    def search_groups(self, text: str) -> List[Group]:
        """Case-insensitive substring search, like the platform's search box."""
        with self._lock:
            needle = text.lower()
            return [group for group in self.groups.values() if needle in group.name.lower()]

    # Reports and scans.

    def add_report(self, engagement: Engagement, scan_type: str, filename: Optional[str], size: int) -> Report:
        with self._lock:
            report = Report(next(self._ids), engagement.id, scan_type, filename, size)
            self.reports.append(report)
            return report

    def set_engagement_status(self, engagement: Engagement, status: str) -> None:
        with self._lock:
            engagement.status = status

    def expect_scan(self, scan_id: str, engagement: Engagement, delay: float) -> Scan:
        """Schedule the scan the platform creates for an engagement; idempotent per engagement."""
        with self._lock:
            for scan in self.scans:
                if scan.scan_id == scan_id and scan.engagement is engagement:
                    return scan
            scan = Scan(next(self._ids), scan_id, engagement, self._clock() + delay)
            self.scans.append(scan)
            return scan

    def visible_scans(self, scan_id: str, scan_filter: ScanFilter) -> List[Scan]:
        with self._lock:
            now = self._clock()
            return [
                scan
                for scan in self.scans
                if scan.scan_id == scan_id and scan.visible_at <= now and scan_filter.accepts(scan)
            ]


_Entity = TypeVar("_Entity")


def _lookup(table: Dict[int, _Entity], entity_id: int, what: str) -> _Entity:
    try:
        return table[entity_id]
    except KeyError:
        raise NotFound(f"Не найдено: {what} с id {entity_id}") from None
