import io
import subprocess
import sys

import pytest
import requests
from support import subprocess_env

from quillon_agent.simulator import Simulator, faults
from quillon_agent.simulator.api import ENDPOINTS

TOKEN = "sim-token"
GROUP = "/api/v1/git/ci-cd/repository_group"
REPO = "/api/v1/git/ci-cd/repository"
BRANCH = "/api/v1/git/ci-cd/branch"
ENGAGEMENT = "/api/v1/git/ci-cd/engagement"
SCAN = "/api/v1/git/ci-cd/scan"
ENGAGEMENT_STATUS = "/api/v1/git/ci-cd/engagement_status"
IMPORT_ARCHIVE = "/api/v1/git/engagement/import_archive/{}"
STATUS = "/api/v1/engagement/{}"
GROUPS_LIST = "/api/v1/git/ci-cd/repository_groups_agent"
REPO_DETAIL = "/api/v1/git/ci-cd/repository_agent"


class FakeClock:
    def __init__(self):
        self.now = 1000.0

    def __call__(self):
        return self.now


class Api:
    """requests against the simulator, authorised unless told otherwise."""

    def __init__(self, sim):
        self.sim = sim
        self.session = requests.Session()
        self.session.headers.update({"Authorization": sim.token, "Accept": "application/json"})

    def get(self, path, **kwargs):
        return self.session.get(self.sim.url + path, timeout=5, **kwargs)

    def post(self, path, **kwargs):
        return self.session.post(self.sim.url + path, timeout=5, **kwargs)

    def chain(self, group="team", repository="backend", branch="main", engagement="abc12345"):
        ids = {"group": self.post(GROUP, data={"name": group}).json()["id"]}
        ids["repository"] = self.post(REPO, data={"name": repository, "repository_group_id": ids["group"]}).json()["id"]
        ids["branch"] = self.post(BRANCH, data={"name": branch, "repository_id": ids["repository"]}).json()["id"]
        ids["engagement"] = self.post(ENGAGEMENT, data={"name": engagement, "branch_id": ids["branch"]}).json()["id"]
        return ids

    def upload(self, ids, engagement="abc12345", branch="main", content=b'{"results": []}'):
        form = {
            "scan_type": "Semgrep JSON Report",
            "engagement_name": engagement,
            "repository_id": ids["repository"],
            "branch_name": branch,
        }
        return self.post(SCAN, data=form, files={"report": ("semgrep.json", io.BytesIO(content))})


@pytest.fixture
def clock():
    return FakeClock()


@pytest.fixture
def sim(clock):
    with Simulator(token=TOKEN, clock=clock) as simulator:
        yield simulator


@pytest.fixture
def api(sim):
    return Api(sim)


@pytest.mark.parametrize("headers", [{}, {"Authorization": "wrong"}, {"Authorization": "Bearer " + TOKEN}])
@pytest.mark.parametrize("method, path", [("POST", GROUP), ("GET", GROUPS_LIST), ("GET", STATUS.format("abc12345"))])
def test_requests_without_the_exact_token_are_refused(sim, headers, method, path):
    response = requests.request(method, sim.url + path, headers=headers, data={"name": "g"}, timeout=5)
    assert response.status_code == 401
    assert sim.state.groups == {}


@pytest.mark.parametrize("level", ["group", "repository", "branch", "engagement"])
def test_upsert_creates_once_then_finds(api, level):
    first = api.chain()
    path, form = {
        "group": (GROUP, {"name": "team"}),
        "repository": (REPO, {"name": "backend", "repository_group_id": first["group"]}),
        "branch": (BRANCH, {"name": "main", "repository_id": first["repository"]}),
        "engagement": (ENGAGEMENT, {"name": "abc12345", "branch_id": first["branch"], "description": ""}),
    }[level]
    again = api.post(path, data=form)
    assert again.status_code == 200
    assert again.json()["id"] == first[level]
    assert [r.status for r in api.sim.requests_to(path, "POST")] == [201, 200]


def test_same_names_under_other_parents_are_other_entities(api):
    first = api.chain()
    second = api.chain(group="other-team")
    assert first["group"] != second["group"]
    assert first["repository"] != second["repository"]
    assert len({*first.values()}) == 4, "ids are unique across entity kinds"


@pytest.mark.parametrize("path, form, status", [
    (REPO, {"name": "backend", "repository_group_id": "999"}, 404),
    (REPO, {"name": "backend", "repository_group_id": "x1"}, 400),
    (BRANCH, {"repository_id": "1"}, 400),
    (ENGAGEMENT, {"name": "e", "branch_id": "999"}, 404),
])
def test_upsert_rejects_bad_forms(api, path, form, status):
    assert api.post(path, data=form).status_code == status


def test_upserts_accept_only_urlencoded_forms(api):
    response = api.post(GROUP, json={"name": "team"})
    assert response.status_code == 415


def test_group_name_taken_by_a_manual_group_is_a_400(api, sim):
    sim.add_group("team", "https://git.example/team", integration_type="manual")
    response = api.post(GROUP, data={"name": "team"})
    assert response.status_code == 400
    assert "team" in response.json()["detail"]


def test_group_answer_can_omit_the_id_and_search_still_finds_it(api, sim):
    sim.settings.group_answer_omits_id = True
    sim.add_group("team-archive")
    created = api.post(GROUP, data={"name": "team", "web_url": "https://git.example/team"})
    assert created.status_code == 201 and "id" not in created.json()

    found = api.get(GROUPS_LIST, params={"search": "TEAM"}).json()["repository_groups"]
    assert [(g["name"], g["integration_type"]) for g in found] == [("team-archive", "manual"), ("team", "API")]
    assert found[1] == {
        "id": found[1]["id"],
        "name": "team",
        "web_url": "https://git.example/team",
        "integration_type": "API",
    }


def test_engagement_lookup(api):
    ids = api.chain()
    assert (
        api.get(ENGAGEMENT, params={"name": "abc12345", "branch_id": ids["branch"]}).json()["id"] == ids["engagement"]
    )
    assert api.get(ENGAGEMENT, params={"name": "other", "branch_id": ids["branch"]}).status_code == 404


def test_report_upload_is_recorded_in_order(api, sim):
    ids = api.chain()
    response = api.upload(ids, content=b"x" * 1234)
    assert response.status_code == 200
    assert response.json()["file_name"] == "semgrep.json"

    recorded = sim.requests_to(SCAN)[-1]
    assert [name for name, _ in recorded.form] == ["scan_type", "engagement_name", "repository_id", "branch_name"]
    assert recorded.content_type.startswith("multipart/form-data")
    report = recorded.file("report")
    assert (report.filename, report.size, report.content[:3]) == ("semgrep.json", 1234, b"xxx")


@pytest.mark.parametrize("change", [{"engagement": "unknown1"}, {"branch": "develop"}])
def test_report_upload_needs_an_existing_engagement(api, change):
    assert api.upload(api.chain(), **change).status_code == 404


def test_report_upload_needs_the_report_part(api):
    ids = api.chain()
    form = {"scan_type": "T", "engagement_name": "abc12345", "repository_id": ids["repository"], "branch_name": "main"}
    assert api.post(SCAN, data=form, files={"other": ("x", b"1")}).status_code == 400
    assert api.post(SCAN, data=form).status_code == 415


@pytest.mark.parametrize("repository_id", ["{id}", True, None, 1.5])
def test_status_update_needs_a_numeric_repository_id(api, repository_id):
    ids = api.chain()
    payload = {"engagement_name": "abc12345", "branch_name": "main", "engagement_status": "finished"}
    payload["repository_id"] = str(ids["repository"]) if repository_id == "{id}" else repository_id
    assert api.post(ENGAGEMENT_STATUS, json=payload).status_code == 400


def test_scan_appears_a_delay_after_the_status_update(api, sim, clock):
    sim.settings.scan_delay = 30
    ids = api.chain()
    payload = {
        "engagement_name": "abc12345",
        "branch_name": "main",
        "repository_id": ids["repository"],
        "engagement_status": "finished",
    }
    assert api.post(ENGAGEMENT_STATUS, json=payload).status_code == 200
    assert sim.state.engagements[ids["engagement"]].status == "finished"

    assert api.get(STATUS.format("abc12345")).status_code == 404
    clock.now += 29.9
    assert api.get(STATUS.format("abc12345")).status_code == 404
    clock.now += 0.1
    scan = api.get(STATUS.format("abc12345")).json()
    assert (scan["scan_id"], scan["repository_name"], scan["branch_name"]) == ("abc12345", "backend", "main")


@pytest.mark.parametrize("trigger", ["report", "archive"])
def test_reports_and_archives_also_make_the_scan_expected(api, trigger):
    ids = api.chain()
    assert api.get(STATUS.format("abc12345")).status_code == 404
    if trigger == "report":
        api.upload(ids)
    else:
        api.post(IMPORT_ARCHIVE.format(ids["engagement"]), files={"archive": ("scan.zip", b"PK", "application/zip")})
    assert api.get(STATUS.format("abc12345")).status_code == 200


def test_no_scan_appears_when_scans_are_disabled(api, sim):
    sim.settings.scan_delay = None
    api.upload(api.chain())
    assert api.get(STATUS.format("abc12345")).status_code == 404


def test_scheduled_scan_via_the_simulator(api, sim, clock):
    sim.add_scan("deadbeef", appear_after=5)
    assert api.get(STATUS.format("deadbeef")).status_code == 404
    clock.now += 5
    assert api.get(STATUS.format("deadbeef")).status_code == 200


@pytest.mark.parametrize("query, status", [
    ({}, 400), ({"branch_name": "main"}, 400), ({"repository_name": "backend"}, 200),
    ({"repository_group_name": "team-b"}, 200), ({"repository_group_url": "https://git.example/team-a/backend"}, 200),
    ({"repository_group_url": "https://git.example/team-ab"}, 404), ({"integration_type": "manual"}, 404),
    ({"repository_name": "nothing"}, 404),
])
def test_scan_lookup_filters_and_ambiguity(api, sim, query, status):
    sim.add_scan("abc12345", group="team-a", group_url="https://git.example/team-a", repository="backend")
    sim.add_scan("abc12345", group="team-b", group_url="https://git.example/team-b", repository="frontend")
    response = api.get(STATUS.format("abc12345"), params=query)
    assert response.status_code == status
    if status == 400:
        assert "Найдено несколько" in response.text


def test_repository_details_by_id_or_by_name(api):
    ids = api.chain()
    api.post(BRANCH, data={"name": "develop", "repository_id": ids["repository"]})
    by_id = api.get(REPO_DETAIL, params={"repository_id": ids["repository"]}).json()
    by_name = api.get(REPO_DETAIL, params={"repository_name": "backend", "repository_group_id": ids["group"]}).json()
    assert by_id == by_name
    assert [b["name"] for b in by_id["branches"]] == ["main", "develop"]
    assert by_id["integration_type"] == "API"
    assert api.get(REPO_DETAIL, params={"repository_name": "backend"}).status_code == 400
    assert api.get(REPO_DETAIL, params={"repository_id": ids["group"]}).status_code == 404


def test_import_archive(api, sim):
    ids = api.chain()
    response = api.post(
        IMPORT_ARCHIVE.format(ids["engagement"]), files={"archive": ("scan.zip", b"PK\x03\x04", "application/zip")}
    )
    assert response.status_code == 200
    archive = sim.requests_to("/api/v1/git/engagement/import_archive/")[-1].file("archive")
    assert (archive.filename, archive.content_type, archive.size) == ("scan.zip", "application/zip", 4)
    assert api.post(IMPORT_ARCHIVE.format(9999), files={"archive": ("scan.zip", b"PK")}).status_code == 404


@pytest.mark.parametrize("fault, status, content_type, header", [
    (faults.unavailable(retry_after=7), 503, "application/json", ("Retry-After", "7")),
    (faults.unavailable(retry_after=None), 503, "application/json", ("Retry-After", None)),
    (faults.html(), 200, "text/html", None),
    (faults.html(502), 502, "text/html", None),
    (faults.respond(418, {"detail": "teapot"}, headers={"X-Test": "1"}), 418, "application/json", ("X-Test", "1")),
])
def test_answer_faults(api, fault, status, content_type, header):
    api.sim.inject(GROUPS_LIST, [fault])
    response = api.get(GROUPS_LIST, params={"search": "x"})
    assert response.status_code == status
    assert response.headers["Content-Type"].startswith(content_type)
    if header:
        assert response.headers.get(header[0]) == header[1]
    if content_type == "text/html":
        assert "<html>" in response.text.lower()


def test_faults_are_consumed_in_order_then_the_platform_answers(api, sim):
    sim.inject(GROUP, [faults.unavailable(), faults.html(502)])
    sim.inject(GROUP, [faults.respond(500, "boom")])
    statuses = [api.post(GROUP, data={"name": "team"}).status_code for _ in range(4)]
    assert statuses == [503, 502, 500, 201]
    assert [r.fault for r in sim.requests] == ["unavailable", "html", "respond", None]
    assert sim.fault_plan.pending() == 0
    assert all(r.form == [("name", "team")] for r in sim.requests), "faulted requests are recorded whole"


def test_faults_only_hit_matching_paths_and_methods(api, sim):
    sim.inject(ENGAGEMENT, [faults.respond(500)], method="get")
    assert api.post(GROUP, data={"name": "team"}).status_code == 201
    assert api.post(ENGAGEMENT, data={"name": "e", "branch_id": "999"}).status_code == 404
    assert api.get(ENGAGEMENT, params={"name": "e", "branch_id": "1"}).status_code == 500


def test_dropped_connection(api, sim):
    sim.inject(GROUP, [faults.drop()])
    with pytest.raises(requests.ConnectionError):
        api.post(GROUP, data={"name": "team"})
    assert sim.requests[0].fault == "drop" and sim.requests[0].status is None
    assert api.post(GROUP, data={"name": "team"}).status_code == 201


def test_delay_longer_than_the_client_timeout(api, sim):
    sim.inject(GROUPS_LIST, [faults.delay(1.0)])
    with pytest.raises(requests.Timeout):
        api.session.get(sim.url + GROUPS_LIST, timeout=0.2)
    assert api.get(GROUPS_LIST).status_code == 200


def test_inject_refuses_what_is_not_a_fault(sim):
    with pytest.raises(TypeError):
        sim.inject(GROUP, [503])


@pytest.mark.parametrize("text, path, expected", [
    ("report=503", SCAN, [faults.unavailable(0)]),
    ("report=503:5*2", SCAN, [faults.unavailable(5)] * 2),
    ("group=unavailable:none", GROUP, [faults.unavailable(None)]),
    ("/api/v1/engagement=drop", "/api/v1/engagement", [faults.drop()]),
    ("all=delay:1.5", "/", [faults.delay(1.5)]),
    ("group-search=html", GROUPS_LIST, [faults.html(200)]),
    ("scan-status=html:502*3", "/api/v1/engagement/", [faults.html(502)] * 3),
    ('repository=status:400:{"detail": "a*b"}', REPO, [faults.respond(400, {"detail": "a*b"})]),
    ("branch=status:500:down", BRANCH, [faults.respond(500, "down", "text/plain")]),
    ("all=redirect:https://p.example:8443/x", "/", [faults.redirect("https://p.example:8443/x")]),
    ("all=redirect:https://p.example/:308", "/", [faults.redirect("https://p.example/", 308)]),
])
def test_faults_from_the_command_line(text, path, expected):
    assert faults.parse_fault(text, ENDPOINTS) == (path, expected)


@pytest.mark.parametrize("text, complaint", [
    ("report", "WHERE=WHAT"), ("nowhere=503", "unknown endpoint"), ("report=503*0", "at least 1"),
    ("report=teapot", "cannot read the fault"), ("report=delay", "cannot read the fault"),
    ("report=503:-1", "cannot read the fault"),
])
def test_unreadable_faults(text, complaint):
    with pytest.raises(faults.FaultSyntaxError, match=complaint):
        faults.parse_fault(text, ENDPOINTS)


def test_runs_standalone():
    process = subprocess.Popen(
        [sys.executable, "-m", "quillon_agent.simulator", "--port", "0", "--token", "standalone",
         "--fault", "group-search=503:3*2", "--fault", 'all=status:418:{"detail": "teapot"}'],
        stdout=subprocess.PIPE, text=True, env=subprocess_env())
    try:
        line = process.stdout.readline()
        url = line.rsplit(" ", 1)[-1].strip()
        assert url.startswith("http://127.0.0.1:")
        answers = [
            requests.get(url + GROUPS_LIST, headers={"Authorization": "standalone"}, timeout=5) for _ in range(4)
        ]
        assert [(a.status_code, a.headers.get("Retry-After")) for a in answers] == [
            (503, "3"), (503, "3"), (418, None), (200, None)
        ]
        assert (answers[2].json(), answers[3].json()) == ({"detail": "teapot"}, {"repository_groups": []})
    finally:
        process.terminate()
        assert process.wait(timeout=10) == 0
