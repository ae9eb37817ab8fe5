"""Masking only ever adds: whatever the plain masking rules hide stays hidden.

`Rules` below states those rules in a few lines of Python: the token replaced
as written, values under sensitive keys in payloads and queries, and user
information in URLs. The client masks more (the token in every spelling, in
keys, in host names), but it must never show a secret that the rules hide,
nor show it more often than they do."""

from __future__ import annotations

import json
import re
from urllib.parse import parse_qsl, quote, quote_plus, urlencode, urlsplit, urlunsplit

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from support import new_client
from token_strategies import tokens

MARKERS = ("authorization", "api_key", "apikey", "key", "password", "secret", "token")
URL_IN_TEXT = re.compile(r"https?://[^\s'\"<>]+")


class Rules:
    """The plain rules, recording every secret they hide."""

    def __init__(self, token):
        self.token = token
        self.hidden: list[str] = []

    def mask(self, text):
        if not self.token:
            return text
        if self.token in text:
            self.hidden.append(self.token)
        return text.replace(self.token, "***")

    def sensitive(self, key):
        return any(marker in str(key).lower() for marker in MARKERS)

    def text(self, text):
        return URL_IN_TEXT.sub(lambda match: self.url(match.group(0)), self.mask(text))

    def value(self, value, key=None):
        if key is not None and self.sensitive(key):
            self.hidden.extend(leaf for leaf in _leaves(value) if isinstance(leaf, str))
            return "***"
        if isinstance(value, dict):
            return {str(k): self.value(v, k) for k, v in value.items()}
        if isinstance(value, (list, tuple)):
            return [self.value(item) for item in value]
        if isinstance(value, str):
            return self.url(value) if "://" in value else self.text(value)
        return value

    def url(self, url):
        try:
            parts = urlsplit(url)
        except ValueError:
            return self.mask(url)
        netloc = parts.netloc
        if "@" in netloc:
            user_information, host = netloc.rsplit("@", 1)
            self.hidden.append(user_information)
            netloc = "***@" + host
        return urlunsplit((parts.scheme, netloc, self.mask(parts.path), self.query(parts.query),
                           self.mask(parts.fragment)))

    def query(self, query):
        return urlencode([(k, self.value(v, k)) for k, v in parse_qsl(query, keep_blank_values=True)])

    def body(self, body):
        try:
            return self.rendered(json.loads(body))
        except (TypeError, ValueError):
            pass
        if "=" in body or "&" in body:
            pairs = parse_qsl(body, keep_blank_values=True)
            if pairs:
                return urlencode([(self.text(k), self.value(v, k)) for k, v in pairs])
        return self.text(body)

    def rendered(self, payload):
        text = self.text(json.dumps(self.value(payload), ensure_ascii=False, default=str))
        return text if len(text) <= 2000 else text[:2000] + "...<truncated>"


def _leaves(value):
    if isinstance(value, dict):
        for item in value.values():
            yield from _leaves(item)
    elif isinstance(value, (list, tuple)):
        for item in value:
            yield from _leaves(item)
    else:
        yield value


def spellings(secret):
    return {secret, quote_plus(secret), quote(secret, safe="")}


# Tokens that look like hex (and so like the inside of a percent-escape) or
# that overlap a marker word, beside realistic ones.
TOKENS = st.one_of(
    st.text("0123456789abcdef", min_size=4, max_size=12),
    st.sampled_from(["9f3aK", "tok-SECRET-123", "passw", "ordX", "KEY9", "0a1b2c3d", "y=1", "a+b", "x%4"]),
    tokens,
)
PIECES = ["=", "&", "+", "%", "%40", "%3A", "%2F", "@", ":", "/", "?", "#", " ", "https://", "http://h/?",
          "u:p@", "user", "pw", "key", "KEY", "password", "token", "secret", "next", "q", "x", "1", "é"]


@st.composite
def token_and_text(draw):
    token = draw(TOKENS)
    parts = draw(st.lists(st.one_of(st.sampled_from(PIECES + [token, token[:3], token[-3:]]), st.text(max_size=3)),
                          max_size=14))
    return token, "".join(parts)


METHODS = {
    "_sanitize_query_string_for_log": Rules.query,
    "_sanitize_url_for_log": lambda rules, text: rules.url("https://" + text),
    "_sanitize_text_for_log": Rules.text,
    "_sanitize_body_string_for_log": Rules.body,
}


@pytest.mark.parametrize("method", METHODS)
@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(case=token_and_text())
def test_what_the_rules_hide_stays_hidden(pc, method, case):
    token, text = case
    rules = Rules(token)
    expected = METHODS[method](rules, text)
    argument = "https://" + text if method == "_sanitize_url_for_log" else text
    shown = getattr(new_client(pc, token), method)(argument)
    for secret in set(rules.hidden):
        if not secret or set(secret) <= set("*%2A"):
            continue
        for spelling in spellings(secret):
            assert shown.count(spelling) <= expected.count(spelling), (secret, spelling, shown, expected)


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(case=token_and_text(), keys=st.lists(st.sampled_from(["name", "api_key", "Token", "monkey", "url", "k"]),
                                            min_size=1, max_size=4))
def test_payload_secrets_stay_hidden(pc, case, keys):
    token, text = case
    payload = {key: text if i % 2 == 0 else "https://u:p@h/?" + text for i, key in enumerate(keys)}
    rules = Rules(token)
    expected = rules.rendered(payload)
    shown = new_client(pc, token)._format_payload_for_log(payload)
    for secret in set(rules.hidden):
        if secret and not set(secret) <= set("*%2A"):
            assert shown.count(secret) <= expected.count(secret), (secret, shown, expected)


@pytest.mark.parametrize(("token", "method", "text", "expected"), [
    ("tok-SECRET-123", "_sanitize_body_string_for_log", "tok-SECRET-123=1&next=https://u:p@h/x",
     "%2A%2A%2A=%2A%2A%2A&next=https%3A%2F%2F%2A%2A%2A%40h%2Fx"),
    ("tok-SECRET-123", "_sanitize_query_string_for_log", "tok-SECRET-123=1", "%2A%2A%2A=%2A%2A%2A"),
    ("9f3aK", "_sanitize_query_string_for_log", "9f3aKEY=1", "%2A%2A%2AEY=%2A%2A%2A"),
    ("0a1b2c3d", "_sanitize_query_string_for_log", "q=https%3A%2F%2Fu%3Ap%40a1b2c3d.h",
     "q=https%3A%2F%2F%2A%2A%2A%4***.h"),
])
def test_sensitivity_is_decided_before_the_token_is_masked(pc, token, method, text, expected):
    assert getattr(new_client(pc, token), method)(text) == expected
