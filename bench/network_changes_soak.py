#!/usr/bin/python3
"""The probe through the network changes a host meets over weeks, one every PERIOD seconds (root needed).

Runs the hop, bw and attr engines against the server of a 3-router test network (IPv4; IPv6 with --ipv6) while an
application in the client uploads 2 Mbit/s from an unconnected UDP socket, and makes CHANGES changes, by turns:
the client's link down for OUTAGE seconds and back; its address renewed as another, after a lapse without one;
the client moved to a new device on the other subnet; its default routes withdrawn for OUTAGE seconds and given
back. A change has recovered when, after the network is whole again ("the return"), a hop report that rests on
probes sent since reads the target's loss at 10 % or less, and an attribution cycle that counts only traffic since
names the uploader with 1 Mbit/s or more up. Each change waits until the one before has recovered and both path
engines have said "restored" (or DEADLINE seconds have passed since its return), so that a slow recovery delays
the schedule instead of being judged under the next change.

At the end of each change's period it samples the probe's resident memory, open descriptors, threads and log files
(the current one and those set aside). Prints a row for each change as it ends (times in seconds since the return,
path_status events stamped likewise), the events of every change that did not recover, and a summary: changes
recovered per kind with median and worst recovery times, the path_status sequences seen, memory and descriptors
from the end of the first round of changes to the end, and whether the probe ended. Exits 1 if a change did not
recover within DEADLINE seconds or the probe ended.

Usage: bench/network_changes_soak.py [--changes 144] [--period 600] [--outage 15] [--deadline 90] [--ipv6]
                                     [--probe build/tarnvale_probe]
"""

import argparse
import collections
import json
import os
import statistics
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from pathlib import Path
from typing import Callable

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT))
sys.path.insert(0, str(ROOT / "client"))
sys.path.insert(0, str(ROOT / "tests" / "e2e"))
from lab import TestNetwork  # noqa: E402
from lab.network import IPV4  # noqa: E402
from tarnvale import ConnectionClosed, Probe  # noqa: E402
from measure import status_value  # noqa: E402
from probe_helpers import open_descriptors  # noqa: E402
from test_attr_ipv6 import start_counting  # noqa: E402
from test_attr_socket_forms import start_sink  # noqa: E402
from test_network_changes import NAMED_MBPS, OF_INTEREST, PATH_ENGINES, RECOVERED_LOSS_PCT, UPLOADER  # noqa: E402

KINDS = ("link down", "new address", "new device", "route withdrawn")
# A renewed address comes this long after the old one went, as when a lease runs out before the next is had.
LEASE_LAPSE_SECONDS = 5
# Memory and descriptors are compared from the end of the first round, once every kind of change has run.
WARM_UP_CHANGES = len(KINDS)
# How long the path may take to be measured before the first change.
FIRST_MEASURE_SECONDS = 60
# The longest wait for one event: the bench looks this often whether a change's network work is done.
READ_SLICE_SECONDS = 0.2


@dataclass
class Sample:
    rss_kb: int
    descriptors: int
    threads: int
    log_files: int


def sample(pid: int, log_dir: Path) -> Sample:
    return Sample(int(status_value(pid, "VmRSS").split()[0]), open_descriptors(pid),
                  int(status_value(pid, "Threads")), len(list(log_dir.glob(f"tv_{pid}.log*"))))


class ChangeWindow:
    """The events of interest from a change's start until the next change, stamped with when they arrived, and
    what they say of the change's recovery (seconds since the return)."""

    def __init__(self, number: int, kind: str, target: str, uploader_pid: int, report_seconds: float,
                 cycle_seconds: float):
        self.number, self.kind, self.target, self.uploader_pid = number, kind, target, uploader_pid
        self.report_seconds, self.cycle_seconds = report_seconds, cycle_seconds
        self.began = self.returned = time.monotonic()
        self.stamped: list[tuple[float, dict]] = []

    def keep(self, event: dict) -> None:
        if event["type"] in OF_INTEREST and self._concerns(event):
            self.stamped.append((time.monotonic(), event))

    def _concerns(self, event: dict) -> bool:
        return {"hop_loss": self.is_target_loss, "app_traffic": self.is_upload}.get(event["type"],
                                                                                  lambda _: True)(event)

    def is_target_loss(self, event: dict) -> bool:
        return event["type"] == "hop_loss" and event["addr"] == self.target

    def is_upload(self, event: dict) -> bool:
        return event["type"] == "app_traffic" and event["pid"] == self.uploader_pid

    def mark_return(self) -> None:
        self.returned = time.monotonic()

    def _first_after_return(self, predicate: Callable[[dict], bool], not_before: float) -> float | None:
        return next((at - self.returned for at, event in self.stamped
                     if at >= self.returned + not_before and predicate(event)), None)

    def loss_low_after(self) -> float | None:
        """The first report after the return that rests on probes sent since and reads the loss low."""
        return self._first_after_return(lambda e: self.is_target_loss(e) and e["loss_pct"] <= RECOVERED_LOSS_PCT,
                                        self.report_seconds)

    def upload_named_after(self) -> float | None:
        """The first attribution cycle after the return that counts only traffic since and names the uploader."""
        return self._first_after_return(lambda e: self.is_upload(e) and e["mbps_up"] >= NAMED_MBPS,
                                        self.cycle_seconds)

    def recovery_seconds(self) -> float | None:
        times = (self.loss_low_after(), self.upload_named_after())
        return None if None in times else max(times)

    def statuses(self) -> dict[str, list[tuple[str, float]]]:
        return {engine: [(e["status"], at - self.returned) for at, e in self.stamped
                         if e["type"] == "path_status" and e["engine"] == engine] for engine in PATH_ENGINES}

    def settled(self) -> bool:
        """Recovered, and each path engine's latest word is that it measures again."""
        return self.recovery_seconds() is not None and all(
            statuses and statuses[-1][0] == "restored" for statuses in self.statuses().values())

    def others(self) -> collections.Counter:
        """Events that tell of trouble beside the recovery: blamed hops, route changes, traffic owned by no
        process, errors by code."""
        counts = collections.Counter()
        for _, event in self.stamped:
            if event["type"] == "error":
                counts[f"error {event['engine']} {event['code']}{' fatal' if event['fatal'] else ''}"] += 1
            elif event["type"] not in ("path_status", "hop_loss", "app_traffic"):
                counts[event["type"]] += 1
        return counts

    def print_events(self) -> None:
        print(f"change {self.number} ({self.kind}): the events, in seconds since the return")
        for at, event in self.stamped:
            print(f"  {at - self.returned:+7.1f} s  {json.dumps(event)}")


def read(probe: Probe, window: ChangeWindow, seconds: float, until: Callable[[], bool] = lambda: False) -> bool:
    """Reads events into `window` for `seconds` or until `until()` holds; says whether it came to hold."""
    deadline = time.monotonic() + seconds
    while not until():
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            return False
        event = probe.next_event(min(remaining, READ_SLICE_SECONDS))
        if event is not None:
            window.keep(event)
    return True


def network_change(network: TestNetwork, kind: str, version: int, outage: float) -> Callable[[], None]:
    """The change of `kind`, returning when the network is whole again."""
    def link_down() -> None:
        link = f"client:{network.client_side(IPV4).interface}"
        network.set_link_state(link, up=False)
        try:
            time.sleep(outage)
        finally:
            network.set_link_state(link, up=True)

    def route_withdrawn() -> None:
        network.set_client_route(False)
        try:
            time.sleep(outage)
        finally:
            network.set_client_route(True)

    return {"link down": link_down,
            "new address": lambda: network.renew_client_address(version, lapse=LEASE_LAPSE_SECONDS),
            "new device": network.swap_client_device,
            "route withdrawn": route_withdrawn}[kind]


def watch_change(probe: Probe, window: ChangeWindow, change: Callable[[], None], deadline: float,
                 period: float | None) -> None:
    """Makes the change while reading its events, then reads until it has settled (or `deadline` seconds have
    passed since the return) and its `period` is over; after the last change (no period), one hop report more
    for the engines' last word on the route."""
    with ThreadPoolExecutor(1) as worker:  # events are read (and stamped) while the change lasts
        done = worker.submit(change)
        read(probe, window, float("inf"), done.done)
    done.result()
    window.mark_return()
    read(probe, window, deadline, window.settled)
    if period is None:
        read(probe, window, probe.facts.hop_report_seconds + 1)
    else:
        read(probe, window, window.began + period - time.monotonic())


@dataclass
class Row:
    window: ChangeWindow
    began_s: float  # since the first change
    sample: Sample | None  # None: the probe had ended
    recovered: bool
    others: collections.Counter


def seconds_text(seconds: float | None) -> str:
    return "-" if seconds is None else f"{seconds:.1f}"


def statuses_text(statuses: list[tuple[str, float]]) -> str:
    return ", ".join(f"{status} {at:+.1f}" for status, at in statuses) or "-"


ROW_HEADER = ("| change | kind | began s | recovered | loss low after s | uploader named after s | path_status hop "
              "| path_status bw | other events | RSS kB | descriptors | threads | log files |\n"
              "|---|---|---|---|---|---|---|---|---|---|---|---|---|")


def row_line(row: Row) -> str:
    window, taken = row.window, row.sample
    statuses = window.statuses()
    others = ", ".join(f"{kind} {count}" for kind, count in sorted(row.others.items())) or "-"
    measured = (f"{taken.rss_kb} | {taken.descriptors} | {taken.threads} | {taken.log_files}" if taken
                else "- | - | - | -")
    return (f"| {window.number} | {window.kind} | {row.began_s:.0f} | {'yes' if row.recovered else 'NO'} "
            f"| {seconds_text(window.loss_low_after())} | {seconds_text(window.upload_named_after())} "
            f"| {statuses_text(statuses['hop'])} | {statuses_text(statuses['bw'])} | {others} | {measured} |")


def print_summary(rows: list[Row], before: Sample, deadline: float) -> None:
    print(f"recovered within {deadline:.0f} s: {sum(row.recovered for row in rows)} of {len(rows)} changes")
    print("| kind | recovered | recovery median s | worst s | loss low median s | uploader named median s "
          "| path_status seen (hop; bw) |")
    print("|---|---|---|---|---|---|---|")
    for kind in KINDS:
        of_kind = [row for row in rows if row.window.kind == kind]
        if not of_kind:
            continue
        recoveries = [row.window.recovery_seconds() for row in of_kind if row.recovered]
        losses = [t for row in of_kind if (t := row.window.loss_low_after()) is not None]
        uploads = [t for row in of_kind if (t := row.window.upload_named_after()) is not None]
        sequences = collections.Counter(
            "; ".join(" > ".join(status for status, _ in row.window.statuses()[engine]) or "none"
                      for engine in PATH_ENGINES) for row in of_kind)
        seen = ", ".join(f"{sequence} ({count}x)" for sequence, count in sequences.most_common())
        print(f"| {kind} | {len(recoveries)}/{len(of_kind)} "
              f"| {seconds_text(statistics.median(recoveries) if recoveries else None)} "
              f"| {seconds_text(max(recoveries) if recoveries else None)} "
              f"| {seconds_text(statistics.median(losses) if losses else None)} "
              f"| {seconds_text(statistics.median(uploads) if uploads else None)} | {seen} |")
    sampled = [row for row in rows if row.sample]
    if not sampled:
        return
    warm, last = sampled[min(WARM_UP_CHANGES, len(sampled)) - 1], sampled[-1]
    for label, measure in (("RSS kB", "rss_kb"), ("descriptors", "descriptors"), ("threads", "threads")):
        first, warmed, final = (getattr(taken, measure) for taken in (before, warm.sample, last.sample))
        print(f"{label}: {first} before the first change, {warmed} after change {warm.window.number}, {final} after "
              f"change {last.window.number} ({final - warmed:+d} since change {warm.window.number})")
    print(f"log files at the end: {last.sample.log_files}")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--changes", type=int, default=144)
    parser.add_argument("--period", type=float, default=600)
    parser.add_argument("--outage", type=float, default=15)
    parser.add_argument("--deadline", type=float, default=90)
    parser.add_argument("--ipv6", action="store_true", help="measure the server's IPv6 address (IPv4 otherwise)")
    parser.add_argument("--probe", default=str(ROOT / "build" / "tarnvale_probe"))
    args = parser.parse_args()

    version = 6 if args.ipv6 else 4
    log_dir = Path(tempfile.mkdtemp(prefix="tarnvale-changes-soak-"))
    rows: list[Row] = []
    ended = None  # how the probe ended during the run, if it did
    with TestNetwork(hops=3) as network, \
            Probe.start(args.probe, netns=network.namespace("client"), env=dict(os.environ, TMPDIR=str(log_dir))) \
            as probe:
        target = network.server_address_v6 if args.ipv6 else network.server_address
        probe.handshake()
        pid = probe.process.pid
        start_counting(probe, log_dir)
        for engine in PATH_ENGINES:
            probe.start_engine(engine, target)
        sink = start_sink(network)
        uploader = network.popen("client", ["python3", "-c", UPLOADER, target])
        try:
            def window_for(number: int, kind: str) -> ChangeWindow:
                return ChangeWindow(number, kind, target, uploader.pid, probe.facts.hop_report_seconds,
                                    probe.facts.attr_cycle_seconds)

            first = window_for(0, "start")
            if not read(probe, first, FIRST_MEASURE_SECONDS, lambda: first.recovery_seconds() is not None):
                first.print_events()
                print(f"the path was not measured within {FIRST_MEASURE_SECONDS} s of the start")
                return 1
            before = sample(pid, log_dir)
            print(f"log directory {log_dir}; before the first change: RSS {before.rss_kb} kB, "
                  f"{before.descriptors} descriptors, {before.threads} threads", flush=True)
            print(ROW_HEADER, flush=True)
            run_began = time.monotonic()
            for number in range(1, args.changes + 1):
                window = window_for(number, KINDS[(number - 1) % len(KINDS)])
                try:
                    watch_change(probe, window, network_change(network, window.kind, version, args.outage),
                                 args.deadline, None if number == args.changes else args.period)
                except ConnectionClosed:
                    ended = f"during change {number}"
                recovery = window.recovery_seconds()
                alive = probe.process.poll() is None
                rows.append(Row(window, window.began - run_began, sample(pid, log_dir) if alive else None,
                                recovery is not None and recovery <= args.deadline, window.others()))
                print(row_line(rows[-1]), flush=True)
                if not alive:
                    ended = ended or f"during change {number}"
                if ended:
                    break
        finally:
            uploader.kill()
            uploader.wait()
            sink.kill()
            sink.wait()
        if ended is None:
            probe.shutdown()
            probe.wait_for(lambda e: e.get("cmd") == "shutdown")
        status = probe.wait()
        stderr = probe.stderr_text() if ended else ""

    print()
    for row in rows:
        if not row.recovered:
            row.window.print_events()
    print_summary(rows, before, args.deadline)
    if ended:
        print(f"the probe ended {ended} with status {status}: {stderr.strip()}")
    else:
        print(f"the probe lived through every change; exit status {status} after shutdown")
    return 1 if ended or not all(row.recovered for row in rows) else 0


if __name__ == "__main__":
    sys.exit(main())
