"""What the live view shows, computed from events alone (no terminal): hop rows, the busiest
processes, the latest diagnoses of loss and of delay, errors, and what is still being waited for."""

from __future__ import annotations

import time
from collections import deque
from dataclasses import dataclass, field
from typing import Optional

from .branches import Branch, hop_branches
from .events import (Ack, AppTraffic, BwEstimate, Degradation, Error, Event, FlowLoss, HopDelay, HopLoss, Latency,
                     PathStatus, RouteChange)
from .probe_facts import ProbeFacts

SPARK_LENGTH = 12
SPARK_BLOCKS = "▁▂▃▄▅▆▇█"
PROCESS_ROWS = 5
PROCESS_STALE_SECONDS = 3.0
ERRORS_KEPT = 5
ROUTE_CHANGES_KEPT = 3
# A figure within a tenth of the trains' own rate says only that the link is no slower than the trains.
SLOWER_THAN_TRAINS_SHARE = 0.9


def sparkline(values, ceiling: float) -> str:
    """One block character per value, scaled so that `ceiling` is the full block."""
    if ceiling <= 0:
        ceiling = 1.0
    blocks = []
    for value in values:
        level = min(len(SPARK_BLOCKS) - 1, max(0, int(value / ceiling * (len(SPARK_BLOCKS) - 1) + 0.5)))
        blocks.append(SPARK_BLOCKS[level])
    return "".join(blocks)


@dataclass
class HopState:
    hop: int
    addr: str = ""
    loss_pct: Optional[float] = None
    rtt_ms: Optional[float] = None
    is_localized: bool = False
    losses: deque = field(default_factory=lambda: deque(maxlen=SPARK_LENGTH))
    mbps: Optional[float] = None
    bottleneck: bool = False
    confidence: str = ""
    added_ms: Optional[float] = None
    behind_queue: bool = False


@dataclass
class HopRow:
    label: str          # "3", or "5-9" for hops beyond the target that carry its address
    addr: str
    loss_pct: Optional[float]
    losses: list
    rtt_ms: Optional[float]
    mbps: Optional[float]
    bottleneck: bool
    is_localized: bool
    confidence: str
    queue_ms: Optional[float] = None  # the queueing delay, where a standing queue is located in front of the hop
    # On a balanced route, the routers the probe's flows met at this hop, each with its flows' loss.
    branches: list[Branch] = field(default_factory=list)


def link_speed_text(mbps: Optional[float], train_rate_mbps: float) -> str:
    """What the trains can honestly say of a hop's link: a figure only where their answers came slower than
    they were sent, otherwise that the link is faster than the trains."""
    if mbps is None:
        return "-"
    if mbps >= SLOWER_THAN_TRAINS_SHARE * train_rate_mbps:
        return f"> {train_rate_mbps:.1f}"
    return f"{mbps:.2f}"


@dataclass
class ProcessRow:
    pid: int
    name: str
    mbps_up: float
    mbps_down: float
    saturating: bool


class ViewModel:
    """Built once the probe's CAPS reply has told its facts: nothing is shown before."""

    def __init__(self, engines, facts: ProbeFacts, started: Optional[float] = None):
        self.engines = list(engines)
        self.facts = facts
        self.started = time.monotonic() if started is None else started
        self.hops: dict[int, HopState] = {}
        self.processes: dict[int, tuple[float, ProcessRow]] = {}
        self.diagnosis: Optional[Degradation] = None
        self.latency: Optional[Latency] = None
        self.errors: deque[Error] = deque(maxlen=ERRORS_KEPT)
        self.route_changes: deque[RouteChange] = deque(maxlen=ROUTE_CHANGES_KEPT)
        self.unroutable: dict[str, PathStatus] = {}  # engine -> its "no_route" status while it lasts
        # The latest report cycle's flow_loss events, by (flow, hop).
        self.flow_cycle: dict[tuple[int, int], FlowLoss] = {}
        self.event_count = 0

    def _hop(self, number: int) -> HopState:
        return self.hops.setdefault(number, HopState(number))

    def apply(self, event: Event, now: Optional[float] = None) -> None:
        now = time.monotonic() if now is None else now
        self.event_count += 1
        match event:
            case HopLoss():
                hop = self._hop(event.hop)
                hop.addr = event.addr or hop.addr
                hop.loss_pct, hop.rtt_ms, hop.is_localized = event.loss_pct, event.rtt_ms, event.is_localized
                hop.losses.append(event.loss_pct)
            case BwEstimate():
                hop = self._hop(event.hop)
                hop.mbps, hop.bottleneck, hop.confidence = event.mbps, event.bottleneck, event.confidence.level
            case AppTraffic():
                self.processes[event.pid] = (now, ProcessRow(event.pid, event.name, event.mbps_up, event.mbps_down,
                                                             event.saturating))
            case HopDelay():
                hop = self._hop(event.hop)
                hop.added_ms, hop.behind_queue = event.added_ms, event.behind_queue
            case Degradation():
                self.diagnosis = event
            case Latency():
                self.latency = event
            case RouteChange():
                # The hop's trend and queue were the old router's; the probe begins them again too.
                self.route_changes.append(event)
                hop = self._hop(event.hop)
                hop.addr = event.new_addr
                hop.losses.clear()
                hop.added_ms, hop.behind_queue = None, False
            case FlowLoss():
                if self.flow_cycle and event.ts != next(iter(self.flow_cycle.values())).ts:
                    self.flow_cycle = {}  # a new cycle: paths that are gone go with the old one
                self.flow_cycle[(event.flow, event.hop)] = event
            case PathStatus(status="no_route"):
                self.unroutable[event.engine] = event
            case PathStatus():
                self.unroutable.pop(event.engine, None)
            case Error():
                self.errors.append(event)
            case Ack(ok=False):
                # A refused command is shown as an error under the command's name, stamped when it came.
                self.errors.append(Error(int(time.time()), event.cmd, "NOT_ACCEPTED",
                                         event.error or "command refused", False))

    def hop_rows(self) -> list[HopRow]:
        """One row per hop in order; consecutive hops with the same address (the target answering for
        every TTL beyond its distance) collapse into the first of them."""
        rows: list[HopRow] = []
        branches = hop_branches(self.flow_cycle.values())
        for number in sorted(self.hops):
            hop = self.hops[number]
            if rows and hop.addr and hop.addr == rows[-1].addr:
                first = rows[-1].label.split("-")[0]
                rows[-1].label = f"{first}-{number}"
                continue
            rows.append(HopRow(str(number), hop.addr, hop.loss_pct, list(hop.losses), hop.rtt_ms, hop.mbps,
                               hop.bottleneck, hop.is_localized, hop.confidence,
                               hop.added_ms if hop.behind_queue else None, branches.get(number, [])))
        return rows

    def queue_standing(self) -> bool:
        """Whether the latest delay reports still place some hop behind a standing queue."""
        return any(hop.behind_queue for hop in self.hops.values())

    def busiest_processes(self, now: Optional[float] = None) -> list[ProcessRow]:
        """The processes reported in the last few seconds, busiest first."""
        now = time.monotonic() if now is None else now
        recent = [row for seen, row in self.processes.values() if now - seen <= PROCESS_STALE_SECONDS]
        recent.sort(key=lambda row: row.mbps_up + row.mbps_down, reverse=True)
        return recent[:PROCESS_ROWS]

    def waiting_for(self, now: Optional[float] = None) -> list[str]:
        """What has not arrived yet, with how long it should take."""
        now = time.monotonic() if now is None else now
        elapsed = int(now - self.started)
        facts = self.facts
        waiting = []
        if "hop" in self.engines and not any(h.loss_pct is not None for h in self.hops.values()):
            waiting.append(f"hop: first loss report about {facts.hop_report_seconds:g} s after start "
                           f"({elapsed} s so far)")
        if "bw" in self.engines:
            if not any(h.mbps is not None for h in self.hops.values()):
                waiting.append(f"bw: first estimate about {facts.bw_first_estimate_seconds:g} s after start, a full "
                               f"sweep about {facts.bw_sweep_seconds:g} s ({elapsed} s so far)")
        if "attr" in self.engines and not self.processes:
            waiting.append(f"attr: processes appear about {facts.attr_cycle_seconds:g} s after they send or "
                           f"receive ({elapsed} s so far)")
        return waiting

    def loss_ceiling(self) -> float:
        """The sparklines' full scale: 10 % at least, else the highest loss seen."""
        highest = max((max(h.losses) for h in self.hops.values() if h.losses), default=0.0)
        return max(10.0, highest)
