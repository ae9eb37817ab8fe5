"""The platform's HTTP API as a WSGI application over PlatformState."""

from __future__ import annotations

import json
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Callable, Dict, Iterable, Mapping, Optional

from werkzeug.exceptions import HTTPException
from werkzeug.routing import Map, Rule
from werkzeug.datastructures import ImmutableMultiDict
from werkzeug.wrappers import Request, Response

from .faults import FaultPlan
from .recording import RecordedRequest, RequestJournal, record_request
from .state import Conflict, Engagement, NotFound, PlatformState, ScanFilter

if TYPE_CHECKING:
    from _typeshed.wsgi import StartResponse, WSGIEnvironment

GROUP_PATH = "/api/v1/git/ci-cd/repository_group"
REPOSITORY_PATH = "/api/v1/git/ci-cd/repository"
BRANCH_PATH = "/api/v1/git/ci-cd/branch"
ENGAGEMENT_PATH = "/api/v1/git/ci-cd/engagement"
REPORT_PATH = "/api/v1/git/ci-cd/scan"
ENGAGEMENT_STATUS_PATH = "/api/v1/git/ci-cd/engagement_status"
IMPORT_ARCHIVE_PATH = "/api/v1/git/engagement/import_archive/"
SCAN_STATUS_PATH = "/api/v1/engagement/"
GROUP_SEARCH_PATH = "/api/v1/git/ci-cd/repository_groups_agent"
REPOSITORY_DETAILS_PATH = "/api/v1/git/ci-cd/repository_agent"

# Short names for --fault; "all" matches every request.
ENDPOINTS = {
    "all": "/",
    "group": GROUP_PATH,
    "repository": REPOSITORY_PATH,
    "branch": BRANCH_PATH,
    "engagement": ENGAGEMENT_PATH,
    "report": REPORT_PATH,
    "status-update": ENGAGEMENT_STATUS_PATH,
    "archive": IMPORT_ARCHIVE_PATH,
    "scan-status": SCAN_STATUS_PATH,
    "group-search": GROUP_SEARCH_PATH,
    "repository-details": REPOSITORY_DETAILS_PATH,
}

FORM = "application/x-www-form-urlencoded"
MULTIPART = "multipart/form-data"
JSON = "application/json"

AMBIGUOUS_SCAN_TEXT = "Найдено несколько сканирований"

_ROUTES = Map(
    [
        Rule(GROUP_PATH, endpoint="upsert_group", methods=["POST"]),
        Rule(REPOSITORY_PATH, endpoint="upsert_repository", methods=["POST"]),
        Rule(BRANCH_PATH, endpoint="upsert_branch", methods=["POST"]),
        Rule(ENGAGEMENT_PATH, endpoint="upsert_engagement", methods=["POST"]),
        Rule(ENGAGEMENT_PATH, endpoint="find_engagement", methods=["GET"]),
        Rule(REPORT_PATH, endpoint="upload_report", methods=["POST"]),
        Rule(ENGAGEMENT_STATUS_PATH, endpoint="update_status", methods=["POST"]),
        Rule(IMPORT_ARCHIVE_PATH + "<engagement_id>", endpoint="import_archive", methods=["POST"]),
        Rule(SCAN_STATUS_PATH + "<scan_id>", endpoint="scan_status", methods=["GET"]),
        Rule(GROUP_SEARCH_PATH, endpoint="search_groups", methods=["GET"]),
        Rule(REPOSITORY_DETAILS_PATH, endpoint="repository_details", methods=["GET"]),
    ],
    strict_slashes=False,
)


class BadRequest(ValueError):
    pass


class UnsupportedMediaType(ValueError):
    pass


@dataclass
class SimulatorSettings:
    token: str
    # Some platform versions answer the group form without an id.
    group_answer_omits_id: bool = False
    # Seconds between a pipeline reporting in and its scan existing; None: never.
    scan_delay: Optional[float] = 0.0


class PlatformApi:
    def __init__(
        self, state: PlatformState, settings: SimulatorSettings, faults: FaultPlan, journal: RequestJournal
    ) -> None:
        self.state = state
        self.settings = settings
        self.faults = faults
        self.journal = journal

    def __call__(self, environ: WSGIEnvironment, start_response: StartResponse) -> Iterable[bytes]:
        request = Request(environ)
        entry = record_request(request)
        self.journal.add(entry)
        response = self._respond(request, entry)
        entry.status = response.status_code
        return response(environ, start_response)

    def _respond(self, request: Request, entry: RecordedRequest) -> Response:
        # Faults stand for what sits in front of the platform (proxies, load
        # balancers), so they come before the token check.
        fault = self.faults.next_fault(request.method, request.path)
        if fault is not None:
            entry.fault = fault.name
            answer = fault.apply(request)
            if answer is not None:
                return answer
        if request.headers.get("Authorization") != self.settings.token:
            return _json(401, {"detail": "Недействительный токен"})
        try:
            endpoint, arguments = _ROUTES.bind_to_environ(request.environ).match()
            handler: Callable[..., Response] = getattr(self, "_" + endpoint)
            return handler(request, **arguments)
        except HTTPException as error:
            return _json(error.code or 500, {"detail": error.description})
        except (BadRequest, Conflict) as error:
            return _json(400, {"detail": str(error)})
        except NotFound as error:
            return _json(404, {"detail": str(error)})
        except UnsupportedMediaType as error:
            return _json(415, {"detail": str(error)})

    # Entity upserts: URL-encoded forms, 201 when created, 200 when found.

    def _upsert_group(self, request: Request) -> Response:
        form = _form(request, FORM)
        group, created = self.state.upsert_group(_text(form, "name"), form.get("web_url"))
        record = group.record()
        if self.settings.group_answer_omits_id:
            del record["id"]
        return _upserted(record, created)

    def _upsert_repository(self, request: Request) -> Response:
        form = _form(request, FORM)
        repository, created = self.state.upsert_repository(
            _text(form, "name"), _number(form, "repository_group_id"), form.get("web_url")
        )
        return _upserted(repository.record(), created)

    def _upsert_branch(self, request: Request) -> Response:
        form = _form(request, FORM)
        branch, created = self.state.upsert_branch(
            _text(form, "name"), _number(form, "repository_id"), form.get("web_url")
        )
        return _upserted(branch.record(), created)

    def _upsert_engagement(self, request: Request) -> Response:
        form = _form(request, FORM)
        engagement, created = self.state.upsert_engagement(
            _text(form, "name"), _number(form, "branch_id"), form.get("description", "")
        )
        return _upserted(engagement.record(), created)

    def _find_engagement(self, request: Request) -> Response:
        name, branch_id = _text(request.args, "name"), _number(request.args, "branch_id")
        engagement = self.state.find_engagement(name, branch_id)
        if engagement is None:
            raise NotFound(f"Сканирование '{name}' не найдено в ветке {branch_id}")
        return _json(200, engagement.record())

    # Results of a pipeline run.

    def _upload_report(self, request: Request) -> Response:
        form = _form(request, MULTIPART)
        report_file = request.files.get("report")
        if report_file is None:
            raise BadRequest("Файл 'report' обязателен")
        engagement = self.state.engagement_in_repository(
            _text(form, "engagement_name"), _number(form, "repository_id"), _text(form, "branch_name")
        )
        report = self.state.add_report(
            engagement, _text(form, "scan_type"), report_file.filename, _uploaded_size(request, "report")
        )
        self._expect_scan(engagement)
        return _json(200, report.record())

    def _update_status(self, request: Request) -> Response:
        payload = _json_object(request)
        repository_id = payload.get("repository_id")
        if isinstance(repository_id, bool) or not isinstance(repository_id, int):
            raise BadRequest("Поле 'repository_id' должно быть числом")
        engagement = self.state.engagement_in_repository(
            _text(payload, "engagement_name"), repository_id, _text(payload, "branch_name")
        )
        status = _text(payload, "engagement_status")
        self.state.set_engagement_status(engagement, status)
        self._expect_scan(engagement)
        return _json(200, {"engagement_id": engagement.id, "engagement_status": status})

    def _import_archive(self, request: Request, engagement_id: str) -> Response:
        _form(request, MULTIPART)
        if request.files.get("archive") is None:
            raise BadRequest("Файл 'archive' обязателен")
        engagement = self.state.engagement_by_id(_parse_number(engagement_id, "engagement_id"))
        self._expect_scan(engagement)
        return _json(
            200, {"engagement_id": engagement.id, "status": "accepted", "size": _uploaded_size(request, "archive")}
        )

    def _expect_scan(self, engagement: Engagement) -> None:
        # The platform names the scan after the engagement (the commit SHA in CI).
        if self.settings.scan_delay is not None:
            self.state.expect_scan(engagement.name, engagement, self.settings.scan_delay)

    # Read-only queries.

    def _scan_status(self, request: Request, scan_id: str) -> Response:
        args = request.args
        scan_filter = ScanFilter(
            branch_name=args.get("branch_name"),
            repository_name=args.get("repository_name"),
            group_name=args.get("repository_group_name"),
            group_url=args.get("repository_group_url"),
            group_id=args.get("repository_group_id"),
            integration_type=args.get("integration_type"),
        )
        scans = self.state.visible_scans(scan_id, scan_filter)
        if not scans:
            raise NotFound(f"Сканирование {scan_id} не найдено")
        if len(scans) > 1:
            raise BadRequest(
                f"{AMBIGUOUS_SCAN_TEXT} ({len(scans)}) для {scan_id}. Уточните репозиторий, ветку или группу."
            )
        return _json(200, scans[0].record())

    def _search_groups(self, request: Request) -> Response:
        groups = self.state.search_groups(request.args.get("search", ""))
        return _json(200, {"repository_groups": [group.record() for group in groups]})

    def _repository_details(self, request: Request) -> Response:
        args = request.args
        if args.get("repository_id"):
            repository = self.state.repository_by_id(_number(args, "repository_id"))
        elif args.get("repository_name") and args.get("repository_group_id"):
            repository = self.state.repository_by_name(args["repository_name"], _number(args, "repository_group_id"))
        else:
            raise BadRequest("Нужен repository_id или repository_name вместе с repository_group_id")
        return _json(200, repository.details())


def _json(status: int, payload: Any) -> Response:
    return Response(json.dumps(payload, ensure_ascii=False), status=status, content_type=JSON)


def _upserted(record: Dict[str, Any], created: bool) -> Response:
    return _json(201 if created else 200, record)


def _form(request: Request, expected_mimetype: str) -> ImmutableMultiDict[str, str]:
    if request.mimetype != expected_mimetype:
        raise UnsupportedMediaType(f"Ожидается {expected_mimetype}, получено {request.mimetype or 'ничего'}")
    return request.form


def _json_object(request: Request) -> Mapping[str, Any]:
    if request.mimetype != JSON:
        raise UnsupportedMediaType(f"Ожидается {JSON}, получено {request.mimetype or 'ничего'}")
    payload = request.get_json(silent=True)
    if not isinstance(payload, dict):
        raise BadRequest("Ожидается JSON-объект")
    return payload


def _text(fields: Mapping[str, Any], name: str) -> str:
    value = fields.get(name)
    if not isinstance(value, str) or not value:
        raise BadRequest(f"Поле '{name}' обязательно")
    return value


def _number(fields: Mapping[str, Any], name: str) -> int:
    return _parse_number(_text(fields, name), name)


def _parse_number(text: str, name: str) -> int:
    if not (text.isascii() and text.isdigit()):
        raise BadRequest(f"Поле '{name}' должно быть числом, получено {text!r}")
    return int(text)


def _uploaded_size(request: Request, field_name: str) -> int:
    upload = request.files[field_name]
    upload.stream.seek(0, 2)
    return upload.stream.tell()
