"""`tarnvale report FILE`: a recording of `watch --record` as a PNG chart: loss per hop over time with
the diagnoses marked and, on a balanced route, each branch's loss dashed beside its hop's; queueing delay per hop
with the located queues marked; and bandwidth per hop with the bottlenecks marked."""

from __future__ import annotations

import json
import sys
from dataclasses import dataclass, field
from pathlib import Path
from typing import Optional

from .branches import hop_branches
from .events import (BwEstimate, Degradation, Event, FlowLoss, HopDelay, HopLoss, Latency, MalformedEvent,
                     parse_event)
from .probe_facts import ProbeFacts

WIDTH_INCHES, HEIGHT_INCHES, DPI = 12, 10, 100  # 1200 x 1000 pixels


@dataclass
class Recording:
    entries: list[tuple[float, Event]] = field(default_factory=list)  # (arrival time, event)
    # The facts of the probe that was recorded, which its first entry carries; none in a recording older than
    # the probe's telling them.
    facts: Optional[ProbeFacts] = None


def read_recording(path: Path) -> Recording:
    """Every line read first, then its event: a file that is not a recording is told apart from a recording of
    an event that lacks a member."""
    recording = Recording()
    lines: list[tuple[int, float, dict]] = []
    with open(path) as text:
        for number, line in enumerate(text, 1):
            if not line.strip():
                continue
            try:
                entry = json.loads(line)
                lines.append((number, float(entry["at"]), entry["event"]))
                if "caps" in entry:
                    recording.facts = ProbeFacts.from_caps(entry["caps"])
            except (ValueError, KeyError, TypeError) as failure:
                raise ValueError(f"{path}:{number}: not a recorded event ({failure})") from failure
    for number, at, event in lines:
        try:
            recording.entries.append((at, parse_event(event)))
        except MalformedEvent as failure:
            raise ValueError(f"{path}:{number}: {failure}") from failure
    return recording


def plot_per_hop(axes, series: dict, ylabel: str, title: str, marks: list[tuple[float, str]],
                 least_top: float) -> None:
    """One line per hop from 0 up (to least_top at least), and a dashed red line with its label at each mark
    (a diagnosis)."""
    for hop, points in sorted(series.items()):
        axes.plot([p[0] for p in points], [p[1] for p in points], marker=".", label=f"hop {hop}")
    axes.set_ylim(bottom=0, top=max(least_top, axes.get_ylim()[1]))
    for seconds, label in marks:
        axes.axvline(seconds, color="red", linestyle="--", linewidth=1)
        axes.annotate(label, (seconds, axes.get_ylim()[1] if series else 1), rotation=90, fontsize=8,
                      color="red", va="top", ha="right")
    axes.set_ylabel(ylabel)
    axes.set_title(title)
    if series:
        axes.legend(loc="upper left", fontsize=8)


def branch_losses(entries: list[tuple[float, FlowLoss]]) -> dict[tuple[int, str], list[tuple[float, float]]]:
    """Each branch's loss over time, by (hop, router): from each report cycle's flow_loss events, at the hops
    where the flows met more than one router."""
    cycles: dict[int, tuple[float, list[FlowLoss]]] = {}
    for seconds, event in entries:
        cycles.setdefault(event.ts, (seconds, []))[1].append(event)
    series: dict[tuple[int, str], list[tuple[float, float]]] = {}
    for seconds, cycle in cycles.values():
        for hop, branches in hop_branches(cycle).items():
            for branch in branches:
                series.setdefault((hop, branch.addr), []).append((seconds, branch.loss_pct))
    return series


def draw(recording: Recording, output: Path) -> None:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    entries = recording.entries
    start = entries[0][0] if entries else 0.0
    loss: dict[int, list[tuple[float, float]]] = {}
    bandwidth: dict[int, list[tuple[float, float, bool]]] = {}
    delay: dict[int, list[tuple[float, float]]] = {}
    diagnoses: list[tuple[float, Degradation]] = []
    latencies: list[tuple[float, Latency]] = []
    flow_losses: list[tuple[float, FlowLoss]] = []
    for at, event in entries:
        seconds = at - start
        match event:
            case HopLoss():
                loss.setdefault(event.hop, []).append((seconds, event.loss_pct))
            case BwEstimate():
                bandwidth.setdefault(event.hop, []).append((seconds, event.mbps, event.bottleneck))
            case HopDelay():
                delay.setdefault(event.hop, []).append((seconds, event.added_ms))
            case Degradation():
                diagnoses.append((seconds, event))
            case Latency():
                latencies.append((seconds, event))
            case FlowLoss():
                flow_losses.append((seconds, event))

    figure, (loss_axes, delay_axes, bandwidth_axes) = plt.subplots(3, 1, figsize=(WIDTH_INCHES, HEIGHT_INCHES),
                                                                   dpi=DPI, sharex=True)
    plot_per_hop(loss_axes, loss, "loss %", "loss per hop",
                 [(seconds, f"{event.cause} at hop {'?' if event.affected_hop is None else event.affected_hop} "
                            f"({event.severity})")
                  for seconds, event in diagnoses], least_top=10)
    for (hop, addr), points in sorted(branch_losses(flow_losses).items()):
        loss_axes.plot([p[0] for p in points], [p[1] for p in points], linestyle="--", linewidth=1,
                       label=f"hop {hop} via {addr}")
    if flow_losses:
        loss_axes.legend(loc="upper left", fontsize=8)
    plot_per_hop(delay_axes, delay, "ms above usual", "queueing delay per hop",
                 [(seconds, f"{event.cause} at hop {event.affected_hop} (+{event.added_ms:.0f} ms)")
                  for seconds, event in latencies], least_top=50)
    plot_bandwidth(bandwidth_axes, bandwidth, recording.facts)
    figure.tight_layout()
    figure.savefig(output, dpi=DPI)
    plt.close(figure)


def plot_bandwidth(axes, bandwidth: dict[int, list[tuple[float, float, bool]]], facts: Optional[ProbeFacts]) -> None:
    """One line per hop, bottlenecks marked. The trains show only links slower than their own rate: faster ones
    are drawn at that rate, when the recording tells it."""
    rate = None if facts is None else facts.train_rate_mbps
    for hop, points in sorted(bandwidth.items()):
        capped = [(p[0], p[1] if rate is None else min(p[1], rate), p[2]) for p in points]
        axes.plot([p[0] for p in capped], [p[1] for p in capped], marker="o", label=f"hop {hop}")
        flagged = [p for p in capped if p[2]]
        if flagged:
            axes.scatter([p[0] for p in flagged], [p[1] for p in flagged], marker="x", s=80, color="red", zorder=3)
    if rate is None:
        axes.set_ylim(bottom=0)
        axes.set_ylabel("Mbps (red x: bottleneck)")
    else:
        axes.axhline(rate, color="grey", linestyle=":", linewidth=1)
        axes.set_ylim(0, rate * 1.1)
        axes.set_ylabel(f"Mbps (at {rate:g}: faster; red x: bottleneck)")
    axes.set_xlabel("seconds since the recording began")
    axes.set_title("bandwidth per hop")
    if bandwidth:
        axes.legend(loc="upper left", fontsize=8)


def report(args) -> int:
    source = Path(args.recording)
    output = Path(args.output) if args.output else source.with_suffix(".png")
    try:
        recording = read_recording(source)
    except (OSError, ValueError) as failure:
        print(f"tarnvale: {failure}", file=sys.stderr)
        return 1
    draw(recording, output)
    print(f"chart: {output}")
    return 0
