"""`tarnvale report FILE`: a recording of `watch --record` as a PNG chart: loss per hop over time with
the diagnoses marked, queueing delay per hop with the located queues marked, and bandwidth per hop with the
bottlenecks marked."""

from __future__ import annotations

import json
import sys
from pathlib import Path

from .probe_facts import TRAIN_RATE_MBPS

WIDTH_INCHES, HEIGHT_INCHES, DPI = 12, 10, 100  # 1200 x 1000 pixels


def read_recording(path: Path) -> list[tuple[float, dict]]:
    entries = []
    with open(path) as recording:
        for number, line in enumerate(recording, 1):
            if not line.strip():
                continue
            try:
                entry = json.loads(line)
                entries.append((float(entry["at"]), entry["event"]))
            except (ValueError, KeyError, TypeError) as failure:
                raise ValueError(f"{path}:{number}: not a recorded event ({failure})") from failure
    return entries


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


def draw(entries: list[tuple[float, dict]], output: Path) -> None:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    start = entries[0][0] if entries else 0.0
    loss: dict[int, list[tuple[float, float]]] = {}
    bandwidth: dict[int, list[tuple[float, float, bool]]] = {}
    delay: dict[int, list[tuple[float, float]]] = {}
    diagnoses = []
    latencies = []
    for at, event in entries:
        seconds = at - start
        if event.get("type") == "hop_loss":
            loss.setdefault(event["hop"], []).append((seconds, event["loss_pct"]))
        elif event.get("type") == "bw_estimate":
            bandwidth.setdefault(event["hop"], []).append((seconds, event["mbps"], event["bottleneck"]))
        elif event.get("type") == "hop_delay":
            delay.setdefault(event["hop"], []).append((seconds, event["added_ms"]))
        elif event.get("type") == "degradation":
            diagnoses.append((seconds, event))
        elif event.get("type") == "latency":
            latencies.append((seconds, event))

    figure, (loss_axes, delay_axes, bandwidth_axes) = plt.subplots(3, 1, figsize=(WIDTH_INCHES, HEIGHT_INCHES),
                                                                   dpi=DPI, sharex=True)
    plot_per_hop(loss_axes, loss, "loss %", "loss per hop",
                 [(seconds, f"{event['cause']} at hop {event.get('affected_hop', '?')} ({event['severity']})")
                  for seconds, event in diagnoses], least_top=10)
    plot_per_hop(delay_axes, delay, "ms above usual", "queueing delay per hop",
                 [(seconds, f"{event['cause']} at hop {event['affected_hop']} (+{event['added_ms']:.0f} ms)")
                  for seconds, event in latencies], least_top=50)

    # The trains show only links slower than their own rate: faster ones are drawn at that rate.
    for hop, points in sorted(bandwidth.items()):
        capped = [(p[0], min(p[1], TRAIN_RATE_MBPS), p[2]) for p in points]
        bandwidth_axes.plot([p[0] for p in capped], [p[1] for p in capped], marker="o", label=f"hop {hop}")
        flagged = [p for p in capped if p[2]]
        if flagged:
            bandwidth_axes.scatter([p[0] for p in flagged], [p[1] for p in flagged], marker="x", s=80,
                                   color="red", zorder=3)
    bandwidth_axes.axhline(TRAIN_RATE_MBPS, color="grey", linestyle=":", linewidth=1)
    bandwidth_axes.set_ylim(0, TRAIN_RATE_MBPS * 1.1)
    bandwidth_axes.set_ylabel(f"Mbps (at {TRAIN_RATE_MBPS}: faster; red x: bottleneck)")
    bandwidth_axes.set_xlabel("seconds since the recording began")
    bandwidth_axes.set_title("bandwidth per hop")
    if bandwidth:
        bandwidth_axes.legend(loc="upper left", fontsize=8)
    figure.tight_layout()
    figure.savefig(output, dpi=DPI)
    plt.close(figure)


def report(args) -> int:
    source = Path(args.recording)
    output = Path(args.output) if args.output else source.with_suffix(".png")
    try:
        entries = read_recording(source)
    except (OSError, ValueError) as failure:
        print(f"tarnvale: {failure}", file=sys.stderr)
        return 1
    try:
        draw(entries, output)
    except (KeyError, TypeError) as failure:
        print(f"tarnvale: {source}: an event lacks a member the chart needs ({failure})", file=sys.stderr)
        return 1
    print(f"chart: {output}")
    return 0
