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
        api_token = _required(pick("api_token", ENV_API_TOKEN), "--api-token", ENV_API_TOKEN)
        return cls(
            platform_url=normalize_platform_url(platform_url),
            api_token=api_token,
            insecure=_flag(pick("insecure", ENV_INSECURE), ENV_INSECURE),
            ca_bundle=pick("ca_bundle", ENV_CA_BUNDLE) or None,
            timeout=_timeout(pick("timeout", ENV_TIMEOUT)),
            verbose=verbose_requested(options, environ),
        )


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
