"""Client library for tarnvale_probe: start it, shake hands, drive it, read its events."""

from .client import (
    ConnectionClosed,
    HandshakeError,
    Probe,
    ProbeError,
    DEFAULT_PROBE_BINARY,
)
from .probe_facts import ProbeFacts

__version__ = "1.0.0"  # the package's, as client/pyproject.toml gives it

__all__ = [
    "ConnectionClosed",
    "HandshakeError",
    "Probe",
    "ProbeError",
    "ProbeFacts",
    "DEFAULT_PROBE_BINARY",
    "__version__",
]
