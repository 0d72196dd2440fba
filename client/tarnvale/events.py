"""The probe's events as typed records, one class per kind, built from the JSON objects it sends. A kind this
client does not know becomes an OtherEvent, and members it does not know are left out, so that a probe that
adds kinds or members does not break it."""

from __future__ import annotations

from dataclasses import MISSING, dataclass, field, fields
from typing import Any, ClassVar, Optional, Union

from .client import ProbeError


class MalformedEvent(ProbeError):
    """An event of a known kind lacks a member, or is not an object with a type."""


def _record(cls, members: dict, kind: str):
    """An instance of dataclass `cls` from the object's members of its fields."""
    values: dict[str, Any] = {}
    for member in fields(cls):
        if member.name not in members:
            if member.default is MISSING:
                raise MalformedEvent(f"{kind} event lacks member {member.name!r}: {members}")
            continue
        value = members[member.name]
        nested = member.metadata.get("record")
        if nested is not None:
            if not isinstance(value, dict):
                raise MalformedEvent(f"{kind} event: {member.name} is not an object: {value!r}")
            value = _record(nested, value, f"{kind}.{member.name}")
        elif isinstance(value, list):
            value = tuple(value)  # the records are frozen
        values[member.name] = value
    return cls(**values)


@dataclass(frozen=True)
class HopLoss:
    kind: ClassVar[str] = "hop_loss"
    ts: int
    hop: int
    addr: str
    loss_pct: float
    rtt_ms: float
    prev_loss_pct: float
    is_localized: bool


@dataclass(frozen=True)
class Confidence:
    level: str
    p05_mbps: float
    p95_mbps: float
    sample_count: int


@dataclass(frozen=True)
class BwEstimate:
    kind: ClassVar[str] = "bw_estimate"
    ts: int
    hop: int
    addr: str
    mbps: float
    baseline_mbps: float
    bottleneck: bool
    confidence: Confidence = field(metadata={"record": Confidence})


@dataclass(frozen=True)
class AppTraffic:
    kind: ClassVar[str] = "app_traffic"
    ts: int
    pid: int
    name: str
    mbps_up: float
    mbps_down: float
    loss_share: float
    saturating: bool


@dataclass(frozen=True)
class Degradation:
    kind: ClassVar[str] = "degradation"
    ts: int
    severity: str
    trend_min: int
    eta_drop_sec: Optional[int]  # None: no estimate
    cause: str
    cause_detail: str
    affected_hop: Optional[int]  # None: no hop named
    loss_now_pct: float
    loss_trend_pct_per_min: float


@dataclass(frozen=True)
class HopDelay:
    kind: ClassVar[str] = "hop_delay"
    ts: int
    hop: int
    addr: str
    baseline_ms: float
    current_ms: float
    added_ms: float
    behind_queue: bool


@dataclass(frozen=True)
class Latency:
    kind: ClassVar[str] = "latency"
    ts: int
    severity: str
    cause: str
    cause_detail: str
    affected_hop: int
    addr: str
    baseline_ms: float
    current_ms: float
    added_ms: float


@dataclass(frozen=True)
class HopUnsent:
    kind: ClassVar[str] = "hop_unsent"
    ts: int
    hop: int
    addr: str
    sent: int
    unsent: int


@dataclass(frozen=True)
class RouteChange:
    kind: ClassVar[str] = "route_change"
    ts: int
    hop: int
    old_addr: str
    new_addr: str


@dataclass(frozen=True)
class FlowLoss:
    kind: ClassVar[str] = "flow_loss"
    ts: int
    flow: int
    hop: int
    addr: str
    loss_pct: float
    rtt_ms: float


@dataclass(frozen=True)
class FlowBw:
    """One train flow's bandwidth estimate at a hop; flow 0's path is bw_estimate's."""
    kind: ClassVar[str] = "flow_bw"
    ts: int
    flow: int
    hop: int
    addr: str
    mbps: float
    baseline_mbps: float
    bottleneck: bool
    sample_count: int


@dataclass(frozen=True)
class UnownedTraffic:
    """A cycle's traffic of the host that no process could be named for; its members read as AppTraffic's."""
    kind: ClassVar[str] = "unowned_traffic"
    ts: int
    owner: str
    mbps_up: float
    mbps_down: float
    loss_share: float
    saturating: bool


@dataclass(frozen=True)
class HopCounts:
    """What a hop's probes and the pinger's echo requests met since the previous report cycle: probes settled,
    of which lost, and the round trips measured (ms, oldest first)."""
    kind: ClassVar[str] = "hop_counts"
    ts: int
    hop: int
    addr: str
    probes: int
    lost: int
    rtt_ms: tuple[float, ...]


@dataclass(frozen=True)
class PathStatus:
    """An engine that measures a path cannot (status "no_route": the host has no route to the target) or can again
    ("restored"); what it saw in between counts as nothing."""
    kind: ClassVar[str] = "path_status"
    ts: int
    engine: str
    status: str
    detail: str


@dataclass(frozen=True)
class Error:
    kind: ClassVar[str] = "error"
    ts: int
    engine: str
    code: str
    message: str
    fatal: bool


@dataclass(frozen=True)
class Ack:
    kind: ClassVar[str] = "ack"
    cmd: str
    ok: bool
    error: Optional[str] = None  # only on a refusal


@dataclass(frozen=True)
class OtherEvent:
    """An event of a kind this client does not know, kept whole."""
    type: str
    members: dict


Event = Union[HopLoss, BwEstimate, AppTraffic, Degradation, HopDelay, Latency, HopUnsent, RouteChange, FlowLoss,
              FlowBw, UnownedTraffic, PathStatus, HopCounts, Error, Ack, OtherEvent]
KINDS = {cls.kind: cls for cls in (HopLoss, BwEstimate, AppTraffic, Degradation, HopDelay, Latency, HopUnsent,
                                    RouteChange, FlowLoss, FlowBw, UnownedTraffic, PathStatus, HopCounts, Error,
                                    Ack)}


def parse_event(members: Any) -> Event:
    """The record of one event object as the probe sends it (Probe.next_event's dict)."""
    if not isinstance(members, dict) or not isinstance(members.get("type"), str):
        raise MalformedEvent(f"not an event: {members!r}")
    cls = KINDS.get(members["type"])
    return OtherEvent(members["type"], members) if cls is None else _record(cls, members, members["type"])
