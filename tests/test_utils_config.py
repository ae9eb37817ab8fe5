import argparse
import re

import pytest

from quillon_agent.config import DEFAULT_TIMEOUT, Config, ConfigError, verbose_requested
from quillon_agent.utils import _COMMIT_ID_RE


ACCEPTED_IDS = ["3f9c2a1b7d4e5f60718293a4b5c6d7e8f9012345", "abc12", "scan-2024.01_rc1", "v1.2.3", "..a.."]
REJECTED_IDS = ["", "abc1", "abc12\n", "\nabc12", "abc12/../admin", "abc12?branch_name=x", "abc12#frag", "abc%2F12",
                "abc 12", ".....", "коммит12", "abc１２３"]


@pytest.mark.parametrize("identifier, accepted", [(i, True) for i in ACCEPTED_IDS] + [(i, False) for i in REJECTED_IDS])
def test_scan_id_pattern(identifier, accepted):
    assert bool(_COMMIT_ID_RE.match(identifier)) is accepted


def options(**given):
    names = ("platform_url", "api_token", "api_token_file", "insecure", "ca_bundle", "timeout", "verbose",
             "retry_attempts", "retry_pause")
    return argparse.Namespace(**{name: given.get(name) for name in names})


BASE_ENV = {"QUILLON_PLATFORM_URL": "https://env.example", "QUILLON_API_TOKEN": "env-token"}


def test_environment_fills_what_options_leave_unset():
    env = {**BASE_ENV, "QUILLON_INSECURE": "yes", "QUILLON_CA_BUNDLE": "/etc/ca.pem", "QUILLON_TIMEOUT": "2.5",
           "QUILLON_VERBOSE": "1"}
    assert Config.from_options(options(), env) == Config("https://env.example", "env-token", True, "/etc/ca.pem", 2.5,
                                                         True)


def test_options_win_over_environment_both_ways():
    env = {**BASE_ENV, "QUILLON_INSECURE": "1", "QUILLON_VERBOSE": "true", "QUILLON_TIMEOUT": "9"}
    config = Config.from_options(
        options(platform_url="http://opt", api_token="opt-token", insecure=False, verbose=False, timeout=3.0), env
    )
    assert (config.platform_url, config.api_token, config.insecure, config.verbose, config.timeout) == (
        "http://opt", "opt-token", False, False, 3.0)


def test_defaults_when_nothing_optional_is_set():
    config = Config.from_options(options(), {**BASE_ENV, "QUILLON_CA_BUNDLE": ""})
    assert (config.insecure, config.ca_bundle, config.timeout, config.verbose) == (False, None, DEFAULT_TIMEOUT, False)


@pytest.mark.parametrize("url, expected", [
    ("https://platform.example/", "https://platform.example"),
    ("https://platform.example/base//", "https://platform.example/base"),
    (" http://127.0.0.1:8080 ", "http://127.0.0.1:8080"),
])
def test_platform_url_loses_trailing_slashes(url, expected):
    assert Config.from_options(options(platform_url=url), BASE_ENV).platform_url == expected


@pytest.mark.parametrize("given, env, complaint", [
    ({}, {"QUILLON_API_TOKEN": "t"}, "--platform-url"),
    ({}, {"QUILLON_PLATFORM_URL": "https://p"}, "QUILLON_API_TOKEN"),
    ({"api_token": ""}, {"QUILLON_PLATFORM_URL": "https://p"}, "--api-token"),
    ({"platform_url": "platform.example"}, BASE_ENV, "http:// or https://"),
    ({}, {**BASE_ENV, "QUILLON_TIMEOUT": "soon"}, "timeout"),
    ({"timeout": 0.0}, BASE_ENV, "positive"),
    ({}, {**BASE_ENV, "QUILLON_TIMEOUT": "nan"}, "positive"),
    ({}, {**BASE_ENV, "QUILLON_INSECURE": "maybe"}, "QUILLON_INSECURE"),
    ({"api_token": " \n"}, BASE_ENV, "from --api-token is empty"),
    ({"api_token_file": "/nonexistent/token"}, BASE_ENV, "cannot read the API token file from --api-token-file"),
    ({}, {**BASE_ENV, "QUILLON_RETRY_ATTEMPTS": "many"}, "whole number"),
    ({"retry_attempts": 0}, BASE_ENV, "at least 1"),
    ({}, {**BASE_ENV, "QUILLON_RETRY_PAUSE": "-1"}, "between 0 and 86400"),
    ({}, {**BASE_ENV, "QUILLON_RETRY_PAUSE": "nan"}, "between 0 and 86400"),
])
def test_bad_settings_are_reported(given, env, complaint):
    with pytest.raises(ConfigError, match=re.escape(complaint)):
        Config.from_options(options(**given), env)


@pytest.mark.parametrize("word, expected", [(w, True) for w in ("1", "TRUE", " on ", "yes")]
                         + [(w, False) for w in ("0", "off", "No", "")])
def test_verbose_variable_words(word, expected):
    assert verbose_requested(options(), {"QUILLON_VERBOSE": word}) is expected


@pytest.mark.parametrize("given, env, expected", [
    ({"api_token": " opt\n"}, {"QUILLON_API_TOKEN": "env"}, "opt"),
    ({"api_token_file": "{file}"}, {"QUILLON_API_TOKEN": "env"}, "from-file"),
    ({}, {"QUILLON_API_TOKEN": "env\r\n"}, "env"),
    ({}, {"QUILLON_API_TOKEN_FILE": "{file}"}, "from-file"),
    ({}, {"QUILLON_API_TOKEN": "", "QUILLON_API_TOKEN_FILE": "{file}"}, "from-file"),
])
def test_token_sources_in_order_without_surrounding_whitespace(tmp_path, given, env, expected):
    token_file = tmp_path / "token"
    token_file.write_text("\tfrom-file\n\n")
    given = {key: value.replace("{file}", str(token_file)) for key, value in given.items()}
    env = {key: value.replace("{file}", str(token_file)) for key, value in env.items()}
    config = Config.from_options(options(**given), {"QUILLON_PLATFORM_URL": "https://p", **env})
    assert config.api_token == expected


def test_retry_settings():
    env = {**BASE_ENV, "QUILLON_RETRY_ATTEMPTS": "3", "QUILLON_RETRY_PAUSE": "0.5"}
    config = Config.from_options(options(), env)
    assert (config.retry_attempts, config.retry_pause) == (3, 0.5)
    assert Config.from_options(options(retry_pause=2.0), env).retry_pause == 2.0
    assert Config.from_options(options(), BASE_ENV).retry_attempts is None
