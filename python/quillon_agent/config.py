"""Agent configuration: command-line options first, then QUILLON_* variables."""

from __future__ import annotations

import argparse
import os
from dataclasses import dataclass
from typing import Any, Mapping, Optional, Union

ENV_PLATFORM_URL = "QUILLON_PLATFORM_URL"
ENV_API_TOKEN = "QUILLON_API_TOKEN"
ENV_INSECURE = "QUILLON_INSECURE"
ENV_CA_BUNDLE = "QUILLON_CA_BUNDLE"
ENV_TIMEOUT = "QUILLON_TIMEOUT"
ENV_VERBOSE = "QUILLON_VERBOSE"
ENV_API_TOKEN_FILE = "QUILLON_API_TOKEN_FILE"
ENV_RETRY_ATTEMPTS = "QUILLON_RETRY_ATTEMPTS"
ENV_RETRY_PAUSE = "QUILLON_RETRY_PAUSE"

DEFAULT_TIMEOUT = 60.0

_TRUE_WORDS = frozenset({"1", "true", "yes", "on"})
_FALSE_WORDS = frozenset({"", "0", "false", "no", "off"})


class ConfigError(ValueError):
    """A setting is missing or cannot be understood."""


@dataclass
class Config:
    """What the platform client reads once, when it is constructed."""

    platform_url: str
    api_token: str
    insecure: bool = False
    ca_bundle: Optional[str] = None
    timeout: float = DEFAULT_TIMEOUT
    verbose: bool = False
    # None keeps the client's own retry policy.
    retry_attempts: Optional[int] = None
    retry_pause: Optional[float] = None

    @classmethod
    def from_options(
        cls,
        options: argparse.Namespace,
        environ: Mapping[str, str] = os.environ,
    ) -> "Config":
        """Build from parsed options; an option left unset (None) falls back to its variable."""

        def pick(option: str, variable: str) -> Any:
            return _option_or_env(options, option, variable, environ)

        platform_url = _required(pick("platform_url", ENV_PLATFORM_URL), "--platform-url", ENV_PLATFORM_URL)
        return cls(
            platform_url=normalize_platform_url(platform_url),
            api_token=api_token_from(options, environ),
            insecure=_flag(pick("insecure", ENV_INSECURE), ENV_INSECURE),
            ca_bundle=pick("ca_bundle", ENV_CA_BUNDLE) or None,
            timeout=_timeout(pick("timeout", ENV_TIMEOUT)),
            verbose=verbose_requested(options, environ),
            retry_attempts=_retry_attempts(pick("retry_attempts", ENV_RETRY_ATTEMPTS)),
            retry_pause=_retry_pause(pick("retry_pause", ENV_RETRY_PAUSE)),
        )


def api_token_from(options: argparse.Namespace, environ: Mapping[str, str] = os.environ) -> str:
    """--api-token, --api-token-file, QUILLON_API_TOKEN, QUILLON_API_TOKEN_FILE: the first given.

    Surrounding whitespace is dropped: a token pasted into a secret store or
    written by `echo` often carries a newline, which no header may contain.
    """
    sources = (
        (getattr(options, "api_token", None), None, "--api-token"),
        (None, getattr(options, "api_token_file", None), "--api-token-file"),
        (environ.get(ENV_API_TOKEN), None, ENV_API_TOKEN),
        (None, environ.get(ENV_API_TOKEN_FILE), ENV_API_TOKEN_FILE),
    )
    for text, path, origin in sources:
        if path:
            text = _read_token_file(path, origin)
        if text is not None and (text or path):
            token = text.strip()
            if not token:
                raise ConfigError(f"the API token from {origin} is empty")
            return token
    raise ConfigError(f"--api-token is required (or --api-token-file, or set {ENV_API_TOKEN})")


def _read_token_file(path: str, origin: str) -> str:
    try:
        with open(path, encoding="utf-8") as file:
            return file.read()
    except (OSError, UnicodeDecodeError) as error:
        raise ConfigError(f"cannot read the API token file from {origin}: {error}") from None


def verbose_requested(options: argparse.Namespace, environ: Mapping[str, str] = os.environ) -> bool:
    """--verbose, else QUILLON_VERBOSE; known before the rest so logging can be set up first."""
    return _flag(_option_or_env(options, "verbose", ENV_VERBOSE, environ), ENV_VERBOSE)


def normalize_platform_url(url: str) -> str:
    """Check the scheme and drop trailing "/": the client appends paths that start with one."""
    url = url.strip()
    if not url.startswith(("http://", "https://")):
        raise ConfigError(f"platform URL must start with http:// or https://, got {url!r}")
    return url.rstrip("/")


def _option_or_env(options: argparse.Namespace, option: str, variable: str, environ: Mapping[str, str]) -> Any:
    # Any: an option's value type depends on its action (text, flag, number).
    value = getattr(options, option, None)
    return value if value is not None else environ.get(variable)


def _required(value: Optional[str], option: str, variable: str) -> str:
    if not value:
        raise ConfigError(f"{option} is required (or set {variable})")
    return value


def _flag(value: Union[str, bool, None], variable: str) -> bool:
    # Options arrive as True/None from store_true; variables as text.
    if value is None or isinstance(value, bool):
        return bool(value)
    word = value.strip().lower()
    if word in _TRUE_WORDS:
        return True
    if word in _FALSE_WORDS:
        return False
    raise ConfigError(f"{variable} must be one of 1/0, true/false, yes/no, on/off, got {value!r}")


def _retry_attempts(value: Union[str, int, None]) -> Optional[int]:
    if value is None or value == "":
        return None
    try:
        attempts = int(value)
    except ValueError:
        raise ConfigError(f"retry attempts must be a whole number, got {value!r}") from None
    if attempts < 1:
        raise ConfigError(f"retry attempts must be at least 1, got {value!r}")
    return attempts


def _retry_pause(value: Union[str, float, None]) -> Optional[float]:
    if value is None or value == "":
        return None
    try:
        seconds = float(value)
    except ValueError:
        raise ConfigError(f"retry pause must be a number of seconds, got {value!r}") from None
    if not 0 <= seconds < 86400:
        raise ConfigError(f"retry pause must be between 0 and 86400 seconds, got {value!r}")
    return seconds


def _timeout(value: Union[str, float, None]) -> float:
    if value is None or value == "":
        return DEFAULT_TIMEOUT
    try:
        seconds = float(value)
    except ValueError:
        raise ConfigError(f"timeout must be a number of seconds, got {value!r}") from None
    if not seconds > 0:
        raise ConfigError(f"timeout must be positive, got {value!r}")
    return seconds
