"""Python stand-ins for the masking methods while they are not built yet."""
import re
from urllib.parse import parse_qsl, urlencode, urlsplit, urlunsplit

_KEYS = ("authorization", "api_key", "apikey", "key", "password", "secret", "token")
_URL_RE = re.compile(r"https?://[^\s'\"<>]+")


def _is_sensitive_payload_key(self, key):
    k = str(key).lower()
    return any(m in k for m in _KEYS)


def _mask_token_only(self, text):
    if not self.token:
        return text
    return text.replace(self.token, "***")


def _sanitize_text_for_log(self, text):
    text = self._mask_token_only(text)
    return _URL_RE.sub(lambda m: self._sanitize_url_for_log(m.group(0)), text)


def _sanitize_payload_for_log(self, value):
    return self._sanitize_value_for_log(value)


def _sanitize_value_for_log(self, value, key=None):
    if key is not None and self._is_sensitive_payload_key(key):
        return "***"
    if isinstance(value, dict):
        return {str(k): self._sanitize_value_for_log(v, k) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [self._sanitize_value_for_log(v) for v in value]
    if isinstance(value, bytes):
        try:
            return self._sanitize_text_for_log(value.decode("utf-8"))
        except UnicodeDecodeError:
            return f"<{len(value)} bytes>"
    if isinstance(value, str):
        return self._sanitize_url_or_text_for_log(value)
    if isinstance(value, (int, float, bool)) or value is None:
        return value
    return repr(value)


def _sanitize_url_or_text_for_log(self, value):
    if "://" in value:
        return self._sanitize_url_for_log(value)
    return self._sanitize_text_for_log(value)


def _sanitize_url_for_log(self, url):
    try:
        parts = urlsplit(url)
    except ValueError:
        return self._mask_token_only(url)
    netloc = parts.netloc
    if "@" in netloc:
        netloc = "***@" + netloc.rsplit("@", 1)[1]
    query = self._sanitize_query_string_for_log(parts.query)
    return urlunsplit((parts.scheme, netloc, self._mask_token_only(parts.path), query,
                       self._mask_token_only(parts.fragment)))


def _sanitize_query_string_for_log(self, query):
    pairs = parse_qsl(query, keep_blank_values=True)
    return self._mask_token_only(urlencode([(self._mask_token_only(k), self._sanitize_value_for_log(v, k)) for k, v in pairs]))


ALL = {n: f for n, f in dict(globals()).items() if n.startswith("_") and callable(f) and n not in ("_URL_RE",)}
