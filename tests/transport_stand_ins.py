"""Minimal Python stand-ins for the logging and masking methods, until built.

`install` patches only the methods that still raise "is not built yet", so
tests written against them run against the real methods as soon as those
exist. Each stand-in does just what the request verbs and uploads rely on."""

from __future__ import annotations


def _built(method, *args, **kwargs):
    try:
        method(*args, **kwargs)
    except NotImplementedError as error:
        # Only the method's own placeholder counts, not one it calls.
        return str(error) != f"{method.__qualname__} is not built yet"
    except Exception:
        return True
    return True


def _payload_from_request_kwargs(self, kwargs):
    return kwargs.pop("_log_payload", None)


STAND_INS = {
    # name: (stand-in, probe arguments after self)
    "_payload_from_request_kwargs": (_payload_from_request_kwargs, (None,)),
    "_files_payload_for_log": (lambda self, files: {name: "<file>" for name in files}, (None,)),
    "_log_request_attempt_payload": (lambda self, payload: None, (None,)),
    "_log_response_status": (lambda self, method, response, *, log_url, log_label: None, None),
    "_curl_command": (lambda self, request: f"curl {request.method} {request.url}", (None,)),
    "_sanitize_text_for_log": (lambda self, text: text, (None,)),
    "_hide_scan_submit_internals": (lambda self, text: text, (None,)),
}


def install(monkeypatch, pc, client) -> list[str]:
    """Patches the missing methods on the class; returns their names."""
    cls = pc.PlatformClient
    probes = {"_log_response_status": _built(cls._log_request_attempt_payload, client, None)}
    installed = []
    for name, (stand_in, probe_args) in STAND_INS.items():
        built = probes[name] if probe_args is None else _built(getattr(cls, name), client, *probe_args)
        if not built:
            monkeypatch.setattr(cls, name, stand_in)
            installed.append(name)
    return installed
