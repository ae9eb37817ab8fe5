"""Realistic API tokens for the no-secret-in-any-output properties."""

from __future__ import annotations

import string

from hypothesis import strategies as st

_B64 = string.ascii_letters + string.digits
_hex = st.text("0123456789abcdef", min_size=16, max_size=64)
_base64 = st.builds(lambda body, pad: body + "=" * pad, st.text(_B64 + "+/", min_size=8, max_size=40),
                    st.integers(0, 2))
_base64url = st.text(_B64 + "-_", min_size=8, max_size=43)
_jwt_like = st.lists(st.text(_B64 + "-_", min_size=2, max_size=16), min_size=3, max_size=3).map(".".join)

# An all-digit token would equal an integer, which is logged as the number it is.
tokens = st.one_of(_hex, _base64, _base64url, _jwt_like).filter(lambda t: any(ch.isalpha() for ch in t))
