"""Streaming multipart uploads: field composition, file positions, and a
fresh, rewound body for every attempt."""

from __future__ import annotations

import inspect
import io
import sys

import pytest
import requests
from requests_toolbelt.multipart.encoder import MultipartEncoder
from werkzeug import Response

ENCODER_MODULE = "requests_toolbelt.multipart.encoder"
PATH = "/api/v1/git/engagement/import_archive/42"


@pytest.fixture(autouse=True)
def _no_retry_pauses(no_sleep):
    return no_sleep


class TrackedFile(io.FileIO):
    """A real file that records how it is moved and read."""

    def __init__(self, path, content):
        path.write_bytes(content)
        super().__init__(path, "rb")
        self.seeks = []
        self.reads = 0

    def seek(self, *args):
        self.seeks.append(args)
        return super().seek(*args)

    def read(self, *args):
        self.reads += 1
        return super().read(*args)


class NoTell:
    """A stream that can be moved but cannot say where it stands."""

    def __init__(self, content):
        self._stream = io.BytesIO(content)
        self.read = self._stream.read
        self.seeks = []

    def seek(self, *args):
        self.seeks.append(args)
        return self._stream.seek(*args)

    def __len__(self):
        return len(self._stream.getbuffer()) - self._stream.tell()


class TellFails(io.BytesIO):
    def __init__(self, content, error):
        super().__init__(content)
        self.error = error

    def tell(self):
        raise self.error


# --- no files: requests encodes the form itself --------------------------------

@pytest.mark.parametrize("files", [None, {}])
def test_plain_form_is_passed_through(client, monkeypatch, files):
    monkeypatch.setitem(sys.modules, ENCODER_MODULE, None)  # importing it would fail
    data, headers = {"a": "1"}, {"Accept": "application/json"}
    result = client._prepare_post_form_kwargs(data, files, headers)
    assert len(result) == 4 and result[0] is data and result[1] is files and result[2] is headers
    assert result[3] is None


def test_encoder_is_imported_at_every_build(client, monkeypatch):
    files = {"file": ("r.json", io.BytesIO(b"{}"))}
    client._build_streaming_post_kwargs({}, files, {}, {})
    monkeypatch.setitem(sys.modules, ENCODER_MODULE, None)
    with pytest.raises(ImportError):
        client._build_streaming_post_kwargs({}, files, {}, {})
    with pytest.raises(ImportError):
        client._prepare_post_form_kwargs({}, files, {})


# --- fields ------------------------------------------------------------------

REPORT = io.BytesIO(b"report")


@pytest.mark.parametrize("data, files, expected", [
    ({"scan_type": "X", "n": 7, "flag": True, "off": False, "gone": None, 3: "three"}, {},
     {"scan_type": "X", "n": "7", "flag": "True", "off": "False", "3": "three"}),
    ({}, {"report": ("r.json", REPORT)}, {"report": ("r.json", REPORT, "application/octet-stream")}),
    ({}, {"report": ("r.json", REPORT, "application/json")}, {"report": ("r.json", REPORT, "application/json")}),
    ({}, {"report": ("r.json", REPORT, "application/json", {"X-Part": "1"})},
     {"report": ("r.json", REPORT, "application/json", {"X-Part": "1"})}),
    ({}, {"report": REPORT}, {"report": REPORT}),
    ({}, {"note": "plain text"}, {"note": "plain text"}),
    ({"report": "field"}, {"report": ("r.json", REPORT)}, {"report": ("r.json", REPORT, "application/octet-stream")}),
])
def test_fields_handed_to_encoder(client, data, files, expected):
    built = client._build_streaming_post_kwargs(data, files, {}, {})
    assert isinstance(built["data"], MultipartEncoder)
    assert built["data"].fields == expected and list(built["data"].fields) == list(expected)


def test_build_result_and_headers(client):
    headers = {"Authorization": "t", "Accept": "application/json"}
    files = {"report": ("r.json", io.BytesIO(b"x"))}
    first = client._build_streaming_post_kwargs({"a": "1"}, files, headers, {})
    second = client._build_streaming_post_kwargs({"a": "1"}, files, headers, {})
    assert list(first) == ["data", "files", "headers"] and first["files"] is None
    assert headers == {"Authorization": "t", "Accept": "application/json"}
    for built in (first, second):
        assert built["headers"] == {**headers, "Content-Type": built["data"].content_type}
    assert first["data"].boundary_value != second["data"].boundary_value


# --- positions ---------------------------------------------------------------

def test_positions_captured_by_identity(client):
    shared = io.BytesIO(b"0123456789")
    shared.seek(4)
    other = io.BytesIO(b"abc")
    files = {
        "a": ("a.bin", shared), "b": ("b.bin", shared, "text/plain"), "c": ("c.bin", other),
        "bare": io.BytesIO(b"zz"), "short": ("s",), "no_tell": ("n.bin", NoTell(b"n")),
        "closed": ("x.bin", TellFails(b"", ValueError("I/O operation on closed file"))),
        "unseekable": ("u.bin", TellFails(b"", OSError("not seekable"))),
    }
    assert client._capture_file_positions(files) == {id(shared): 4, id(other): 0}


def test_other_tell_failures_propagate(client):
    broken = TellFails(b"", RuntimeError("tell broke"))
    with pytest.raises(RuntimeError, match="tell broke"):
        client._capture_file_positions({"f": ("f.bin", broken)})


@pytest.fixture
def tracked(tmp_path):
    opened = []

    def make(name, content):
        opened.append(TrackedFile(tmp_path / name, content))
        return opened[-1]

    yield make
    for f in opened:
        f.close()


def test_every_build_rewinds_to_the_captured_position(client, tracked):
    shared = tracked("shared.bin", b"x" * 300)
    shared.seek(100)
    no_tell = NoTell(b"abc")
    files = {"a": ("a.bin", shared), "b": ("b.bin", shared), "n": ("n.bin", no_tell)}
    _, _, _, factory = client._prepare_post_form_kwargs({}, files, {})
    shared.seeks.clear()
    for _ in range(2):
        shared.read()
        no_tell.read()
        assert factory()["data"].len > 2 * 200
        assert shared.tell() == 100
    assert shared.seeks == [(100,)] * 4
    assert no_tell.seeks == []


def test_nothing_is_read_while_preparing(client, tracked):
    report = tracked("r.bin", b"r" * 100_000)
    _, _, _, factory = client._prepare_post_form_kwargs({}, {"report": ("r.bin", report)}, {})
    factory()
    assert report.reads == 0


def test_factory_is_a_fresh_closure(client):
    files = {"report": ("r.json", io.BytesIO(b"{}"))}
    headers = {"Accept": "application/json"}
    data, post_files, post_headers, factory = client._prepare_post_form_kwargs({"a": "1"}, files, headers)
    other_factory = client._prepare_post_form_kwargs({"a": "1"}, files, headers)[3]
    assert factory.__qualname__ == "PlatformClient._prepare_post_form_kwargs.<locals>.build_streaming_request_kwargs"
    assert factory.__name__ == "build_streaming_request_kwargs"
    assert factory.__annotations__ == {"return": "dict[str, Any]"}
    assert inspect.signature(factory).parameters == {}
    assert factory is not other_factory
    assert isinstance(data, MultipartEncoder) and post_files is None
    assert post_headers["Content-Type"] == data.content_type and headers == {"Accept": "application/json"}
    rebuilt = factory()
    assert list(rebuilt) == ["data", "files", "headers"] and rebuilt["data"] is not data


def test_factory_calls_the_build_through_the_client(client, monkeypatch):
    seen = []
    monkeypatch.setattr(client, "_build_streaming_post_kwargs",
                        lambda *args: seen.append(args) or {"data": 1, "files": 2, "headers": 3})
    data, files, headers = {"a": "1"}, {"f": ("f", io.BytesIO(b"x"))}, {}
    assert client._prepare_post_form_kwargs(data, files, headers)[:3] == (1, 2, 3)
    [(d, f, h, positions)] = seen
    assert d is data and f is files and h is headers and positions == {id(files["f"][1]): 0}


# --- against a server ----------------------------------------------------------

@pytest.fixture
def upload_server(httpserver, make_client):
    received = []
    statuses = iter([503, 200])

    def handle(request):
        received.append({
            "form": dict(request.form),
            "files": {n: (f.filename, f.content_type, f.read()) for n, f in request.files.items()},
            "content_type": request.headers["Content-Type"],
        })
        return Response('{"status": "queued"}', status=next(statuses, 200), content_type="application/json")

    httpserver.expect_request(PATH, method="POST").respond_with_handler(handle)
    client = make_client(platform_url=f"http://{httpserver.host}:{httpserver.port}")
    return client, received


def test_retried_upload_resends_everything(upload_server, no_sleep, tmp_path):
    client, received = upload_server
    (tmp_path / "report.json").write_bytes(b"HEADER--" + bytes(range(256)) * 40)
    (tmp_path / "scan.zip").write_bytes(b"PK\x03\x04 archive")
    data = {"scan_type": "Semgrep JSON Report", "engagement": 42, "skip": None}
    session_headers = dict(client._session.headers)
    with open(tmp_path / "report.json", "rb") as report, open(tmp_path / "scan.zip", "rb") as archive:
        report.seek(8)
        files = {"file": ("report.json", report, "application/json"), "archive": ("scan.zip", archive)}
        assert client.post_form(PATH, data, files, "upload Semgrep JSON Report", 6) == {"status": "queued"}
        assert not report.closed

    assert len(received) == 2 and len(no_sleep) == 1
    for attempt in received:
        assert attempt["form"] == {"scan_type": "Semgrep JSON Report", "engagement": "42"}
        assert attempt["files"] == {
            "file": ("report.json", "application/json", bytes(range(256)) * 40),
            "archive": ("scan.zip", "application/octet-stream", b"PK\x03\x04 archive"),
        }
        assert attempt["content_type"].startswith("multipart/form-data; boundary=")
    assert received[0]["content_type"] != received[1]["content_type"]
    assert dict(client._session.headers) == session_headers


class SeekFails(io.BytesIO):
    def __init__(self, content, working_seeks):
        super().__init__(content)
        self.working_seeks = working_seeks

    def seek(self, *args):
        if self.working_seeks == 0:
            raise OSError("device gone")
        self.working_seeks -= 1
        return super().seek(*args)


def closed_stream():
    stream = io.BytesIO(b"data")
    stream.close()
    return stream


# The first build happens before the retry loop: a failing rewind raises the
# file's own OSError there, and a closed file fails before anything is sent.
@pytest.mark.parametrize("stream, error", [(lambda: SeekFails(b"data", 0), OSError), (closed_stream, ValueError)],
                         ids=["rewind-fails", "closed"])
def test_unusable_file_fails_before_any_attempt(upload_server, stream, error):
    client, received = upload_server
    with pytest.raises(error) as caught:
        client.post_form(PATH, {}, {"file": ("r.bin", stream())})
    assert error is not OSError or str(caught.value) == "device gone"
    assert received == []


def test_rewind_failing_inside_the_retry_loop(pc, upload_server):
    client, received = upload_server
    with pytest.raises(pc.PlatformError) as caught:
        client.post_form(PATH, {}, {"file": ("r.bin", SeekFails(b"data", 1))})
    cause = caught.value.__cause__
    assert caught.value.exit_code == 3 and isinstance(cause, requests.ConnectionError)
    assert isinstance(cause.__cause__, OSError) and str(cause) == "device gone"
    assert received == []

