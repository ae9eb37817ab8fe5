# Type stub for the compiled platform client.
#
# Parameters, defaults and annotations are written exactly as the extension
# declares them (tests/test_type_stubs.py compares the two), so some
# annotations are bare `dict`/`list` and two parameters of internal methods
# carry none. Those are the extension's own declarations, not gaps in the
# stub; callers still get full checking of everything that is annotated.
# mypy: disable-error-code="type-arg, no-untyped-def"

import __future__
from typing import TYPE_CHECKING as TYPE_CHECKING, Any as Any, Optional as Optional
from urllib.parse import (
    parse_qsl as parse_qsl,
    urlencode as urlencode,
    urlsplit as urlsplit,
    urlunsplit as urlunsplit,
)

import json as json
import logging as logging
import os as os
import re as re
import time as time

import requests as requests
import urllib3 as urllib3

from .utils import _COMMIT_ID_RE as _COMMIT_ID_RE

if TYPE_CHECKING:
    from quillon_agent.config import Config

annotations: __future__._Feature

logger: logging.Logger
_SENSITIVE_PAYLOAD_KEYS: tuple[str, ...]
_URL_IN_TEXT_RE: re.Pattern[str]
_RETRY_HTTP_STATUSES: tuple[int, ...]
_REQUEST_RETRY_ATTEMPTS: int
_REQUEST_RETRY_SLEEP_SECONDS: int
_CONTEXT_LABELS: dict[str, str]

def _format_error_context(context: str) -> str: ...

class Endpoints:
    GROUP: str
    REPO: str
    BRANCH: str
    ENGAGEMENT: str
    SCAN: str
    ENGAGEMENT_STATUS: str
    IMPORT_ARCHIVE: str
    STATUS: str
    GROUPS_LIST: str
    REPO_DETAIL: str

class PlatformError(Exception):
    message: str
    exit_code: int
    http_status: int
    context: str | None
    curl: str | None
    response_body: str | None
    def __init__(
        self,
        message: str,
        exit_code: int,
        http_status: int = 0,
        context: str | None = None,
        curl: str | None = None,
        response_body: str | None = None,
    ): ...
    def __str__(self) -> str: ...

class PlatformClient:
    base_url: str
    token: str
    verify_tls: bool | str
    timeout: float
    verbose: bool
    _last_curl: str | None
    _session: requests.Session
    def __init__(self, config: 'Config'): ...
    def _resolve_tls_verification(self, config: 'Config') -> bool | str: ...
    def _is_sensitive_payload_key(self, key: object) -> bool: ...
    def _mask_token_only(self, text: str) -> str: ...
    def _sanitize_text_for_log(self, text: str) -> str: ...
    def _sanitize_payload_for_log(self, value: Any) -> Any: ...
    def _sanitize_value_for_log(self, value: Any, key: object | None = None) -> Any: ...
    def _sanitize_url_or_text_for_log(self, value: str) -> str: ...
    def _sanitize_url_for_log(self, url: str) -> str: ...
    def _sanitize_query_string_for_log(self, query: str) -> str: ...
    def _format_payload_for_log(self, payload: Any) -> str: ...
    def _sanitize_body_string_for_log(self, body: str) -> str: ...
    def _payload_from_request_kwargs(self, kwargs: dict) -> Any | None: ...
    def _files_payload_for_log(self, files: dict) -> dict[str, Any]: ...
    def _build_session(self) -> requests.Session: ...
    def _request_kwargs_for_attempt(self, base_kwargs: dict, request_kwargs_factory) -> dict: ...
    def _log_request_attempt_payload(self, log_payload: Any | None) -> None: ...
    def _log_response_status(
        self, method: str, response: requests.Response, *, log_url: bool, log_label: str | None
    ) -> None: ...
    def _retry_delay_for_response(self, response: requests.Response, default_delay: int) -> int: ...
    def _should_retry_response(
        self, response: requests.Response, *, attempt: int, max_attempts: int, default_delay: int
    ) -> bool: ...
    def _should_retry_network_error(
        self,
        error: requests.RequestException,
        *,
        attempt: int,
        max_attempts: int,
        sleep_interval: int,
        hide_internal_text: bool = False,
    ) -> bool: ...
    def _request_with_retry(self, method: str, url: str, **kwargs) -> requests.Response: ...
    def _url(self, path: str) -> str: ...
    def _network_error(self, error: Exception, context: str) -> PlatformError: ...
    def _post_form_response(self, path: str, data: dict, context: str) -> requests.Response: ...
    def _build_engagement_status_params(
        self,
        branch_name: str | None,
        repository_name: str | None,
        group_name: str | None,
        group_url: str | None,
        group_id: str | None,
        integration_type: str | None,
    ) -> dict[str, str]: ...
    def _filter_groups(
        self, groups: list, *, name: str, web_url: str | None, integration_type: str | None
    ) -> list: ...
    def _extract_response_id(self, data: dict, *, name: str, context: str, entity_label: str) -> str: ...
    def _log_upsert_status(
        self, *, name: str, noun: str, response: requests.Response, created_word: str, found_word: str
    ) -> None: ...
    def _create_or_get_entity_id(
        self,
        *,
        path: str,
        payload: dict,
        context: str,
        name: str,
        noun: str,
        created_word: str,
        found_word: str,
        entity_label: str,
    ) -> str: ...
    def _curl_command(self, request: requests.PreparedRequest) -> str: ...
    def _raise_for_http_error(self, response: requests.Response, context: str, default_exit: int) -> None: ...
    def _parse_json_response(self, response: requests.Response, context: str, default_exit: int) -> dict: ...
    def _handle_response(self, response: requests.Response, context: str, default_exit: int = 5) -> dict: ...
    def get(self, path: str, params: Optional[dict] = None, context: str = '') -> dict: ...
    def _capture_file_positions(self, files: dict) -> dict[int, int]: ...
    def _build_streaming_post_kwargs(
        self, data: dict, files: dict, headers: dict, file_positions: dict[int, int]
    ) -> dict[str, Any]: ...
    def _prepare_post_form_kwargs(
        self, data: dict, files: Optional[dict], headers: dict
    ) -> tuple[Any, Optional[dict], dict, Any | None]: ...
    def post_form(
        self,
        path: str,
        data: dict,
        files: Optional[dict] = None,
        context: str = '',
        default_exit: int = 5,
        _log_url: bool = True,
        _log_label: str | None = None,
        _log_payload_override: Any | None = None,
    ) -> dict: ...
    def post_json(self, path: str, payload: dict, context: str = '', default_exit: int = 5) -> dict: ...
    def create_or_get_group(self, name: str, web_url: str | None) -> str: ...
    def create_or_get_repository(self, name: str, group_id: str, web_url: str | None) -> str: ...
    def create_or_get_branch(self, name: str, repository_id: str, web_url: str | None) -> str: ...
    def create_or_get_engagement(self, name: str, branch_id: str, description: str = '') -> str: ...
    def get_engagement_id(self, name: str, branch_id: str) -> str: ...
    def upload_report(
        self, report_path: str, scan_type: str, engagement_name: str, repository_id: str, branch_name: str
    ) -> dict: ...
    def update_engagement_status(
        self, *, engagement_name: str, branch_name: str, repository_id: str, engagement_status: str = 'finished'
    ) -> dict: ...
    def _hide_scan_submit_internals(self, text: str | None) -> str | None: ...
    def submit_scan(self, engagement_id: str, payload_path: str) -> dict: ...
    def get_engagement_status(
        self,
        commit_sha: str,
        branch_name: str | None = None,
        repository_name: str | None = None,
        group_name: str | None = None,
        group_url: str | None = None,
        group_id: str | None = None,
        integration_type: str | None = None,
    ) -> dict: ...
    def find_groups(
        self,
        name: str,
        web_url: str | None = None,
        repo_name: str | None = None,
        branch_name: str | None = None,
        engagement_name: str | None = None,
        integration_type: str | None = None,
        include_target_params: bool = False,
    ) -> list: ...
    def get_repository_details(
        self, repo_id: str | None = None, *, repository_name: str | None = None, group_id: str | None = None
    ) -> dict: ...
    def wait_for_engagement(
        self,
        commit_sha: str,
        branch_name: Optional[str] = None,
        repository_name: Optional[str] = None,
        group_name: Optional[str] = None,
        group_url: Optional[str] = None,
        group_id: Optional[str] = None,
        integration_type: Optional[str] = None,
        interval: int = 300,
        timeout: int = 4200,
    ) -> dict: ...
