"""Client library for tarnvale_probe: start it, shake hands, drive it, read its events."""

from .client import (
    ConnectionClosed,
    HandshakeError,
    Probe,
    ProbeError,
    DEFAULT_PROBE_BINARY,
)
from .probe_facts import ProbeFacts

__all__ = [
    "ConnectionClosed",
    "HandshakeError",
    "Probe",
    "ProbeError",
    "ProbeFacts",
    "DEFAULT_PROBE_BINARY",
]
