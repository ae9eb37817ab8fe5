"""A local stand-in for the platform's HTTP API, for demos and tests."""

from . import faults
from .faults import Fault
from .recording import RecordedFile, RecordedRequest
from .server import Simulator

__all__ = ["Fault", "RecordedFile", "RecordedRequest", "Simulator", "faults"]
