"""What the command line checks before it sends anything.

A pipeline run creates the group, repository, branch and engagement before it
uploads a report; finding a missing report or a bad commit only then would
leave those behind on the platform. Everything that can be checked without
the platform is checked first.
"""

from __future__ import annotations

import os
from typing import Iterable, Optional, Sequence

from .utils import _COMMIT_ID_RE

EXIT_INVALID_ARGUMENT = 1
# A token no header can carry is the configuration's fault, as the client reports it.
EXIT_CONFIGURATION = 2
EXIT_LOCAL_FILE = 4


class LocalCheckError(Exception):
    """A problem found before any request; carries the process exit code."""

    def __init__(self, message: str, exit_code: int) -> None:
        super().__init__(message)
        self.exit_code = exit_code


def check_arguments_sendable(argv: Sequence[str], secret_options: Iterable[str] = ()) -> None:
    """Arguments whose bytes were not UTF-8 arrive with lone surrogates, which no request can carry."""
    for index, argument in enumerate(argv):
        if is_sendable(argument):
            continue
        if argument.startswith("--") and "=" in argument:
            name = argument.partition("=")[0]
        elif index > 0 and argv[index - 1].startswith("-"):
            name = argv[index - 1]
        else:
            name = f"argument {index + 1}"
        if name in secret_options:
            raise LocalCheckError(f"{name}: not valid UTF-8 text, cannot be sent", EXIT_INVALID_ARGUMENT)
        check_text_sendable(argument, name)


def check_text_sendable(value: Optional[str], origin: str) -> None:
    if value is not None and not is_sendable(value):
        shown = value.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")
        raise LocalCheckError(f"{origin}: '{shown}' is not valid UTF-8 text and cannot be sent", EXIT_INVALID_ARGUMENT)


def check_token_sendable(token: str, origin: str) -> None:
    # Never shown: the message names only where the token came from.
    try:
        token.encode("latin-1")
    except UnicodeEncodeError:
        raise LocalCheckError(
            f"the API token ({origin}) holds characters that an HTTP header cannot carry", EXIT_CONFIGURATION
        ) from None
    if any(ord(character) < 32 or ord(character) == 127 for character in token):
        raise LocalCheckError(
            f"the API token ({origin}) holds control characters (a line break inside it?)", EXIT_CONFIGURATION
        )


def is_sendable(text: str) -> bool:
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


def check_names(names: Iterable[tuple[str, Optional[str]]]) -> None:
    for origin, value in names:
        if value is None:
            continue
        if not value.strip():
            raise LocalCheckError(f"{origin} must not be empty", EXIT_INVALID_ARGUMENT)
        check_text_sendable(value, origin)


def check_scan_id(value: str, origin: str) -> None:
    check_text_sendable(value, origin)
    if not _COMMIT_ID_RE.match(value):
        raise LocalCheckError(
            f"{origin}: {value!r} is not a commit SHA or scan id (at least 5 letters, digits, '.', '_' or '-')",
            EXIT_INVALID_ARGUMENT,
        )


def check_readable_file(path: str, what: str) -> None:
    """The file exists, is a regular file (a directory is not) and can be opened for reading."""
    check_text_sendable(path, what)
    if not os.path.exists(path):
        raise LocalCheckError(f"{what} {path!r}: not found", EXIT_LOCAL_FILE)
    if os.path.isdir(path):
        raise LocalCheckError(f"{what} {path!r}: is a directory, not a file", EXIT_LOCAL_FILE)
    if not os.path.isfile(path):
        raise LocalCheckError(f"{what} {path!r}: is not a regular file", EXIT_LOCAL_FILE)
    try:
        with open(path, "rb"):
            pass
    except OSError as error:
        raise LocalCheckError(f"{what} {path!r}: cannot be read: {error.strerror or error}", EXIT_LOCAL_FILE) from None
