"""The API token masked in what the command line prints and logs itself.

The platform client masks what it logs and raises; the command line prints
names, paths and errors of its own, and the token can reach them in any
spelling: as written, escaped by repr() or JSON, percent-encoded, or with "+"
for spaces."""

from __future__ import annotations

import json
import logging
from typing import Optional
from urllib.parse import quote, quote_plus

MASK = "***"


def token_spellings(token: str) -> list[str]:
    """Every spelling of the token, longest first, so none is cut by a shorter one."""
    plus_decoded = token.replace("+", " ")
    spellings = {token, repr(token)[1:-1], json.dumps(token)[1:-1], json.dumps(token, ensure_ascii=False)[1:-1],
                 token.replace(" ", "+")}
    for source in (token, plus_decoded):
        for safe in ("", "/"):
            for encoded in (quote(source, safe=safe), quote_plus(source, safe=safe)):
                spellings |= {encoded, _lower_hex(encoded)}
    return sorted((s for s in spellings if s), key=lambda s: (-len(s), s))


def _lower_hex(encoded: str) -> str:
    parts = encoded.split("%")
    return parts[0] + "".join("%" + part[:2].lower() + part[2:] for part in parts[1:])


class Masker:
    """Replaces the API token, in every spelling, wherever it occurs in a text."""

    def __init__(self, token: Optional[str]) -> None:
        self._spellings = token_spellings(token) if isinstance(token, str) and token else []

    def __call__(self, text: str) -> str:
        for spelling in self._spellings:
            text = text.replace(spelling, MASK)
        return text


class MaskingFilter(logging.Filter):
    """Masks each record's finished message before a handler formats it."""

    def __init__(self, mask: Masker) -> None:
        super().__init__()
        self._mask = mask

    def filter(self, record: logging.LogRecord) -> bool:
        message = record.getMessage()
        masked = self._mask(message)
        if masked != message:
            record.msg, record.args = masked, None
        return True
