"""Constructing a client: settings copied, TLS choice, session, URL joining."""

from __future__ import annotations

import types
import warnings

import pytest
import requests
import urllib3

WARNING_TEXT = "ВНИМАНИЕ: проверка TLS-сертификата отключена (--insecure)."


def test_attributes_in_order(make_client):
    client = make_client(platform_url="https://p.example/", api_token="t0k", timeout=7.5, verbose=1)
    assert list(vars(client)) == ["base_url", "token", "verify_tls", "timeout", "verbose", "_last_curl", "_session"]
    assert (client.base_url, client.token, client.verify_tls, client.timeout, client.verbose, client._last_curl) == (
        "https://p.example/", "t0k", True, 7.5, 1, None)
    assert isinstance(client._session, requests.Session)


@pytest.mark.parametrize("insecure, ca_bundle, expected, warned", [
    (True, "/etc/ca.pem", False, True),
    (False, "/etc/ca.pem", "/etc/ca.pem", False),
    (False, None, True, False),
    (False, "", True, False),
    (1, None, False, True),
    (0, "", True, False),
])
def test_tls_choice(make_client, agent_log, monkeypatch, insecure, ca_bundle, expected, warned):
    disabled = []
    monkeypatch.setattr(urllib3, "disable_warnings", disabled.append)
    client = make_client(insecure=insecure, ca_bundle=ca_bundle)
    assert client.verify_tls == expected and type(client.verify_tls) is type(expected)
    warnings_logged = [r for r in agent_log.records if r.levelname == "WARNING"]
    if warned:
        assert [(r.msg, r.args) for r in warnings_logged] == [(WARNING_TEXT, ())]
        assert disabled == [urllib3.exceptions.InsecureRequestWarning]
    else:
        assert warnings_logged == [] and disabled == []


def test_insecure_mode_silences_urllib3_warning(make_client):
    with warnings.catch_warnings():
        make_client(insecure=True)
        action, _, category, _, _ = warnings.filters[0]
    assert (action, category) == ("ignore", urllib3.exceptions.InsecureRequestWarning)


def test_session_headers(make_client):
    token = "raw token ÿ with spaces"
    client = make_client(api_token=token)
    headers = client._session.headers
    assert headers["Authorization"] == token
    assert headers["Accept"] == "application/json"
    assert "User-Agent" in headers and list(headers)[-1] == "Authorization"
    assert client._session.verify is True and client._session.adapters.keys() == {"https://", "http://"}


def test_two_clients_have_independent_sessions(make_config, pc):
    config = make_config()
    first, second = pc.PlatformClient(config), pc.PlatformClient(config)
    assert first._session is not second._session


@pytest.mark.parametrize("base, path, expected", [
    ("http://h", "/api/v1/git/ci-cd/branch", "http://h/api/v1/git/ci-cd/branch"),
    ("http://h/", "/api/v1/git/ci-cd/branch", "http://h//api/v1/git/ci-cd/branch"),
    ("", "/p", "/p"),
    ("http://h", 5, "http://h5"),
])
def test_url_join(make_client, base, path, expected):
    assert make_client(platform_url=base)._url(path) == expected


def test_missing_config_attribute(pc):
    config = types.SimpleNamespace(platform_url="u", api_token="t", insecure=False, ca_bundle=None, verbose=False)
    with pytest.raises(AttributeError, match="timeout"):
        pc.PlatformClient(config)


def test_ca_bundle_read_again_for_result(pc):
    class Config:
        platform_url, api_token, insecure, timeout, verbose = "u", "t", False, 1, False
        reads = 0

        @property
        def ca_bundle(self):
            Config.reads += 1
            return f"/ca-{Config.reads}.pem"

    assert pc.PlatformClient(Config()).verify_tls == "/ca-2.pem"
