"""What the simulator received, kept for assertions in tests."""

from __future__ import annotations

import json
import threading
from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional, Tuple

from werkzeug.wrappers import Request


@dataclass(frozen=True)
class RecordedFile:
    field_name: str
    filename: Optional[str]
    content_type: Optional[str]
    content: bytes

    @property
    def size(self) -> int:
        return len(self.content)


@dataclass
class RecordedRequest:
    method: str
    path: str
    query: List[Tuple[str, str]]
    headers: Dict[str, str]
    form: List[Tuple[str, str]]
    files: List[RecordedFile]
    json: Any
    body: bytes
    fault: Optional[str] = None
    # None until an answer was sent (stays None for a dropped connection).
    status: Optional[int] = None

    @property
    def content_type(self) -> str:
        return self.headers.get("Content-Type", "")

    def form_dict(self) -> Dict[str, str]:
        return dict(self.form)

    def query_dict(self) -> Dict[str, str]:
        return dict(self.query)

    def file(self, field_name: str) -> RecordedFile:
        for recorded in self.files:
            if recorded.field_name == field_name:
                return recorded
        raise KeyError(field_name)


def record_request(request: Request) -> RecordedRequest:
    """Read the whole body now, so that a fault played afterwards cannot lose it."""
    files = [
        RecordedFile(name, upload.filename, upload.mimetype or None, upload.read())
        for name, upload in request.files.items(multi=True)
    ]
    body = b"" if files or request.form else request.get_data(cache=True)
    return RecordedRequest(
        method=request.method,
        path=request.path,
        query=list(request.args.items(multi=True)),
        headers=dict(request.headers.items()),
        form=list(request.form.items(multi=True)),
        files=files,
        json=_json_or_none(request, body),
        body=body,
    )


def _json_or_none(request: Request, body: bytes) -> Any:
    if not request.is_json or not body:
        return None
    try:
        return json.loads(body)
    except ValueError:
        return None


@dataclass
class RequestJournal:
    _lock: threading.Lock = field(default_factory=threading.Lock)
    _entries: List[RecordedRequest] = field(default_factory=list)

    def add(self, entry: RecordedRequest) -> None:
        with self._lock:
            self._entries.append(entry)

    def entries(self) -> List[RecordedRequest]:
        with self._lock:
            return list(self._entries)

    def clear(self) -> None:
        with self._lock:
            self._entries.clear()
