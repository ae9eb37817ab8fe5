"""A local stand-in for the platform's HTTP API, for demos and tests."""

try:
    import werkzeug  # noqa: F401
except ImportError as error:  # the agent itself runs without it
    raise ImportError(
        f"the platform simulator needs Werkzeug ({error}): pip install 'quillon-agent[simulator]'"
    ) from None

from . import faults
from .faults import Fault
from .recording import RecordedFile, RecordedRequest
from .server import Simulator

__all__ = ["Fault", "RecordedFile", "RecordedRequest", "Simulator", "faults"]
