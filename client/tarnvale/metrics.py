"""The probes' events as Prometheus metrics: the latest figures of each target's path and the running totals,
kept per target and turned into metric families when Prometheus scrapes.

Names follow Prometheus' rules: base units (seconds, bytes, ratios), counters end in `_total`, and labels stay
few (the target, the hop and its address, the process name; never a probe or a process id).
"""

from __future__ import annotations

import ipaddress
import threading
import time
from collections import defaultdict
from dataclasses import dataclass, field
from typing import Callable, Iterable, Optional

from prometheus_client.core import CounterMetricFamily, GaugeMetricFamily, HistogramMetricFamily, InfoMetricFamily

from .events import (AppTraffic, BwEstimate, Degradation, Error, Event, FlowBw, FlowLoss, HopCounts, HopDelay, HopLoss,
                     Latency, PathStatus, UnownedTraffic)
from .probe_facts import ProbeFacts

# A hop no report has named for this many of its engine's periods (hop reports, bandwidth sweeps) is no longer on
# the path as the probe sees it (a route changed, the probe ended, a sweep found the target one hop too far): its
# figures are dropped, not served as current.
HOP_REPORTS_KEPT = 4
BANDWIDTH_SWEEPS_KEPT = 3
# A train flow other than 0 is measured every seventh sweep (flow 0 every sweep): its figures are dropped once two
# of its measurements have not come.
FLOW_BANDWIDTH_SWEEPS_KEPT = 2 * 7 + 1
# The labels the exporter's series carry of their own: an operator's target labels may not take these names.
OWN_LABELS = frozenset({"target", "hop", "addr", "flow", "engine", "code", "process", "owner", "kind", "cause",
                        "severity"})


@dataclass
class TargetState:
    """What is known of one target's path; guarded by PathMetrics' lock."""

    up: bool = False
    restarts: int = 0
    facts: Optional[ProbeFacts] = None  # those of the target's latest probe; none before its first handshake
    # hop -> (its latest event, when it came)
    hops: dict[int, tuple[HopLoss, float]] = field(default_factory=dict)
    flows: dict[tuple[int, int], tuple[FlowLoss, float]] = field(default_factory=dict)  # by (flow, hop)
    delays: dict[int, tuple[HopDelay, float]] = field(default_factory=dict)
    bandwidth: dict[int, tuple[BwEstimate, float]] = field(default_factory=dict)
    flow_bandwidth: dict[tuple[int, int], tuple[FlowBw, float]] = field(default_factory=dict)  # by (flow, hop)
    errors: dict[tuple[str, str], int] = field(default_factory=lambda: defaultdict(int))  # (engine, code) -> count
    no_route: dict[str, bool] = field(default_factory=dict)  # engine -> its latest path_status said "no_route"
    diagnosis: Optional[Degradation | Latency] = None
    labels: dict[str, str] = field(default_factory=dict)  # the operator's, added to every series of the target
    # By hop, summed over every hop_counts of the target's probes, a restarted probe's included.
    probes_sent: dict[int, int] = field(default_factory=lambda: defaultdict(int))
    probes_lost: dict[int, int] = field(default_factory=lambda: defaultdict(int))
    round_trips: dict[int, "RoundTrips"] = field(default_factory=dict)


# Round trips from a LAN's tenth of a millisecond to a satellite link's seconds, in seconds.
ROUND_TRIP_BUCKETS = (0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1.0, 2.0)


@dataclass
class RoundTrips:
    """One hop's round trips as a histogram: the count at or under each bucket's bound, all of them, their sum."""

    at_most: list[int] = field(default_factory=lambda: [0] * len(ROUND_TRIP_BUCKETS))
    count: int = 0
    total_seconds: float = 0.0

    def add(self, seconds: float) -> None:
        for index, bound in enumerate(ROUND_TRIP_BUCKETS):
            if seconds <= bound:
                self.at_most[index] += 1
        self.count += 1
        self.total_seconds += seconds


class PathMetrics:
    """Takes events per target (from the threads that read the probes) and gives Prometheus the metric families
    (as a collector registered with a registry)."""

    def __init__(self, targets: Iterable[str], clock: Callable[[], float] = time.monotonic):
        self._clock = clock
        self._lock = threading.Lock()
        self._targets = {target: TargetState() for target in targets}
        # The host's processes, whichever probe counts them (one should: they are the same for every target).
        self._uploaded: dict[str, float] = defaultdict(float)    # process name -> bytes
        self._downloaded: dict[str, float] = defaultdict(float)
        self._unowned_uploaded: dict[str, float] = defaultdict(float)    # owner ("unknown", ...) -> bytes
        self._unowned_downloaded: dict[str, float] = defaultdict(float)

    def add_target(self, target: str, labels: Optional[dict[str, str]] = None) -> None:
        """A target whose probe is about to start, with labels for all its series; it starts with no figures."""
        with self._lock:
            self._targets[target] = TargetState(labels=dict(labels or {}))

    def remove_target(self, target: str) -> None:
        """A target no longer measured (its probe has ended): its series leave the metrics."""
        with self._lock:
            del self._targets[target]

    def probe_started(self, target: str, facts: ProbeFacts) -> None:
        """The target's probe has shaken hands; its facts time its figures."""
        with self._lock:
            state = self._targets[target]
            state.up, state.facts = True, facts
            state.no_route.clear()  # a new probe tells its own

    def probe_ended(self, target: str, restarting: bool) -> None:
        """The target's probe is gone; when another is started in its place, that counts as a restart."""
        with self._lock:
            state = self._targets[target]
            state.up = False
            state.restarts += 1 if restarting else 0

    def event(self, target: str, event: Event) -> None:
        """One event of the target's probe, which has shaken hands."""
        now = self._clock()
        with self._lock:
            state = self._targets[target]
            match event:
                case HopLoss():
                    state.hops[event.hop] = (event, now)
                case FlowLoss():
                    state.flows[(event.flow, event.hop)] = (event, now)
                case HopDelay():
                    state.delays[event.hop] = (event, now)
                case BwEstimate():
                    state.bandwidth[event.hop] = (event, now)
                case FlowBw():
                    state.flow_bandwidth[(event.flow, event.hop)] = (event, now)
                case AppTraffic():
                    # Its rates are over the attribution cycle: times the cycle, they are the cycle's bytes.
                    cycle = state.facts.attr_cycle_seconds
                    self._uploaded[event.name] += event.mbps_up * 1e6 / 8 * cycle
                    self._downloaded[event.name] += event.mbps_down * 1e6 / 8 * cycle
                case UnownedTraffic():
                    cycle = state.facts.attr_cycle_seconds
                    self._unowned_uploaded[event.owner] += event.mbps_up * 1e6 / 8 * cycle
                    self._unowned_downloaded[event.owner] += event.mbps_down * 1e6 / 8 * cycle
                case HopCounts():
                    state.probes_sent[event.hop] += event.probes
                    state.probes_lost[event.hop] += event.lost
                    round_trips = state.round_trips.setdefault(event.hop, RoundTrips())
                    for milliseconds in event.rtt_ms:
                        round_trips.add(milliseconds / 1000)
                case PathStatus():
                    state.no_route[event.engine] = event.status == "no_route"
                case Error():
                    state.errors[(event.engine, event.code)] += 1
                case Degradation() | Latency():
                    state.diagnosis = event

    def collect(self):
        hop_labels = ["target", "hop", "addr"]
        up = GaugeMetricFamily("tarnvale_probe_up", "1 while the target's probe runs", labels=["target"])
        restarts = CounterMetricFamily("tarnvale_probe_restarts", "Probes started again after one ended",
                                       labels=["target"])
        loss = GaugeMetricFamily("tarnvale_hop_loss_ratio", "Share of the hop's recent probes unanswered",
                                 labels=hop_labels)
        flow_loss = GaugeMetricFamily("tarnvale_flow_loss_ratio",
                                      "Share of the recent probes of one probe flow unanswered at the hop; on a "
                                      "balanced route each flow keeps one of its paths", labels=["target", "flow",
                                                                                                  "hop", "addr"])
        path_loss = GaugeMetricFamily("tarnvale_path_loss_ratio",
                                      "Share of the recent probes unanswered at the end of the path (the target's "
                                      "own hop, or the last hop that answers)", labels=["target"])
        rtt = GaugeMetricFamily("tarnvale_hop_rtt_seconds", "Mean round trip of the hop's recent echo replies",
                                labels=hop_labels)
        queue = GaugeMetricFamily("tarnvale_hop_queue_delay_seconds",
                                  "Round trip above the hop's usual level over the last 30 s", labels=hop_labels)
        bandwidth = GaugeMetricFamily("tarnvale_hop_bandwidth_bytes_per_second",
                                      "Bandwidth estimate of the link into the hop", labels=["target", "hop"])
        bottleneck = GaugeMetricFamily("tarnvale_hop_bottleneck", "1 when the link into the hop is a bottleneck",
                                       labels=["target", "hop"])
        flow_labels = ["target", "flow", "hop", "addr"]
        flow_bandwidth = GaugeMetricFamily("tarnvale_flow_bandwidth_bytes_per_second",
                                           "Bandwidth estimate of the link into the hop as one train flow's trains "
                                           "cross it; on a balanced route each flow keeps one of its paths",
                                           labels=flow_labels)
        flow_bottleneck = GaugeMetricFamily("tarnvale_flow_bottleneck",
                                            "1 when the link into the hop is a bottleneck for one train flow",
                                            labels=flow_labels)
        uploaded = CounterMetricFamily("tarnvale_process_upload_bytes", "Bytes the host's processes of this name sent",
                                       labels=["process"])
        downloaded = CounterMetricFamily("tarnvale_process_download_bytes",
                                         "Bytes the host's processes of this name received", labels=["process"])
        unowned_uploaded = CounterMetricFamily("tarnvale_unowned_upload_bytes",
                                               "Bytes the host sent that no process could be named for",
                                               labels=["owner"])
        unowned_downloaded = CounterMetricFamily("tarnvale_unowned_download_bytes",
                                                 "Bytes the host received that no process could be named for",
                                                 labels=["owner"])
        errors = CounterMetricFamily("tarnvale_engine_errors", "Error events of the engines",
                                     labels=["target", "engine", "code"])
        diagnosis = InfoMetricFamily("tarnvale_diagnosis", "The latest diagnosis of the path",
                                     labels=["target"])
        no_route = GaugeMetricFamily("tarnvale_path_no_route",
                                     "1 while the engine cannot measure the path: the host has no route to the target",
                                     labels=["target", "engine"])
        reachable = GaugeMetricFamily("tarnvale_target_reachable",
                                      "1 while the target itself answers the probes (loss under 100 %), 0 while the "
                                      "path ends before it or the host has no route to it",
                                      labels=["target"])
        probes_sent = CounterMetricFamily("tarnvale_hop_probes_sent",
                                          "Probes to the hop whose outcome is known (answered or lost)",
                                          labels=["target", "hop"])
        probes_lost = CounterMetricFamily("tarnvale_hop_probes_lost", "Probes to the hop that were lost",
                                          labels=["target", "hop"])
        round_trip = HistogramMetricFamily("tarnvale_hop_round_trip_seconds",
                                           "Round trips of the echo requests to the hop's router",
                                           labels=["target", "hop"])
        now = self._clock()
        with self._lock:
            target_labels = {target: state.labels for target, state in self._targets.items() if state.labels}
            for target, state in self._targets.items():
                up.add_metric([target], 1 if state.up else 0)
                restarts.add_metric([target], state.restarts)
                for engine, unroutable in sorted(state.no_route.items()):
                    no_route.add_metric([target, engine], 1 if unroutable else 0)
                for (engine, code), count in sorted(state.errors.items()):
                    errors.add_metric([target, engine, code], count)
                if state.diagnosis:
                    found = state.diagnosis
                    diagnosis.add_metric([target], {"kind": found.kind, "hop": str(found.affected_hop),
                                                    "cause": found.cause, "severity": found.severity})
                for hop, sent in sorted(state.probes_sent.items()):
                    probes_sent.add_metric([target, str(hop)], sent)
                    probes_lost.add_metric([target, str(hop)], state.probes_lost[hop])
                for hop, trips in sorted(state.round_trips.items()):
                    buckets = [(str(bound), count) for bound, count in zip(ROUND_TRIP_BUCKETS, trips.at_most)]
                    round_trip.add_metric([target, str(hop)], buckets + [("+Inf", trips.count)], trips.total_seconds)
                if state.facts is None:
                    continue  # no probe has reported yet
                hop_figures_since = now - HOP_REPORTS_KEPT * state.facts.hop_report_seconds
                hops = _current(state.hops, hop_figures_since)
                for hop, event in hops:
                    labels = [target, str(hop), event.addr]
                    loss.add_metric(labels, event.loss_pct / 100)
                    rtt.add_metric(labels, event.rtt_ms / 1000)
                for (flow, hop), event in _current(state.flows, hop_figures_since):
                    flow_loss.add_metric([target, str(flow), str(hop), event.addr], event.loss_pct / 100)
                if hops:
                    path_loss.add_metric([target], _end_of_path(hops).loss_pct / 100)
                answering = _target_answering(target, hops, state.no_route.get("hop", False))
                if answering is not None:
                    reachable.add_metric([target], 1 if answering else 0)
                for hop, event in _current(state.delays, hop_figures_since):
                    queue.add_metric([target, str(hop), event.addr], event.added_ms / 1000)
                bandwidth_since = now - BANDWIDTH_SWEEPS_KEPT * state.facts.bw_sweep_seconds
                for hop, event in _current(state.bandwidth, bandwidth_since):
                    bandwidth.add_metric([target, str(hop)], event.mbps * 1e6 / 8)
                    bottleneck.add_metric([target, str(hop)], 1 if event.bottleneck else 0)
                flow_bandwidth_since = now - FLOW_BANDWIDTH_SWEEPS_KEPT * state.facts.bw_sweep_seconds
                for (flow, hop), event in _current(state.flow_bandwidth, flow_bandwidth_since):
                    labels = [target, str(flow), str(hop), event.addr]
                    flow_bandwidth.add_metric(labels, event.mbps * 1e6 / 8)
                    flow_bottleneck.add_metric(labels, 1 if event.bottleneck else 0)
            for name, total in sorted(self._uploaded.items()):
                uploaded.add_metric([name], total)
            for name, total in sorted(self._downloaded.items()):
                downloaded.add_metric([name], total)
            for owner, total in sorted(self._unowned_uploaded.items()):
                unowned_uploaded.add_metric([owner], total)
            for owner, total in sorted(self._unowned_downloaded.items()):
                unowned_downloaded.add_metric([owner], total)
        families = (up, restarts, loss, flow_loss, path_loss, rtt, queue, bandwidth, bottleneck, flow_bandwidth,
                    flow_bottleneck, reachable, probes_sent, probes_lost, round_trip, uploaded, downloaded, unowned_uploaded,
                    unowned_downloaded, no_route, errors, diagnosis)
        yield from (_with_target_labels(family, target_labels) for family in families)


def _with_target_labels(family, target_labels: dict[str, dict[str, str]]):
    """The family with each target's own labels added to its series (after the exporter's)."""
    if target_labels:
        family.samples = [sample._replace(labels={**sample.labels, **target_labels[sample.labels["target"]]})
                          if sample.labels.get("target") in target_labels else sample
                          for sample in family.samples]
    return family


class ReloadMetrics:
    """Whether the exporter's config file was taken at its last reading (at start or a reload), as exporters
    tell it, so that an alert can catch a file that was edited but not taken."""

    def __init__(self, clock: Callable[[], float] = time.time):
        self._clock = clock
        self._lock = threading.Lock()
        self.successful = True
        self.success_time = clock()

    def succeeded(self) -> None:
        with self._lock:
            self.successful, self.success_time = True, self._clock()

    def failed(self) -> None:
        with self._lock:
            self.successful = False

    def collect(self):
        with self._lock:
            successful, success_time = self.successful, self.success_time
        yield GaugeMetricFamily("tarnvale_config_last_reload_successful",
                                "1 when the config file was taken at its last reading, 0 when it was refused",
                                value=1 if successful else 0)
        yield GaugeMetricFamily("tarnvale_config_last_reload_success_timestamp_seconds",
                                "When the config file was last taken (Unix time)", value=success_time)


def _end_of_path(hops: list[tuple[int, HopLoss]]) -> HopLoss:
    """The report of the last hop's address at its lowest hop: the target answers every TTL from its own distance
    on, and a sweep that lost the probe at that distance finds it one hop further as well."""
    last_address = hops[-1][1].addr
    return next(event for _, event in hops if event.addr == last_address)


def _target_answering(target: str, hops: list[tuple[int, HopLoss]], no_route: bool) -> Optional[bool]:
    """Whether the target's own address ends the path and answers some probes; nothing where the target is a name
    (the probe resolved it, the exporter does not) or no hop has been reported."""
    try:
        address = ipaddress.ip_address(target)
    except ValueError:
        return None
    if no_route:
        return False
    if not hops:
        return None
    end = _end_of_path(hops)
    return ipaddress.ip_address(end.addr) == address and end.loss_pct < 100


def _current(figures: dict, oldest: float) -> list:
    """The events that came after `oldest`, by their key (a hop, or a flow and hop); the older ones are
    forgotten."""
    for hop in [hop for hop, (_, came) in figures.items() if came < oldest]:
        del figures[hop]
    return [(hop, event) for hop, (event, _) in sorted(figures.items())]
