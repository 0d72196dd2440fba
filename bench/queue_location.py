#!/usr/bin/python3
"""Recorded runs of the queue locator in the test network (root needed).

Each run builds a fresh network (client, r1, r2, r3, server; the kernel's ICMP rate limits on), caps the link
from r2 to r3 at RATE with a token bucket (hop 3 is behind it), starts the probe in the client namespace with
ENGINES, lets it learn the quiet path for WARMUP seconds, then fills the link for WATCH seconds with TRAFFIC:

  tcp    an iperf3 TCP upload from the client          expected: latency at hop 3, "saturation", naming iperf3
  udp    an iperf3 UDP upload from the client at 1.2 x RATE       likewise
  cross  an iperf3 TCP flow from r1 to the server (no local process) expected: latency at hop 3, "congestion"
  none   nothing: the quiet path                        expected: no latency event, no hop behind a queue
  slow   nothing, but r2 holds its own ICMP answers 20-50 ms at random   expected: as quiet

RATE may list several rates (20mbit,50mbit,100mbit), taken in turn by the runs; --parallel runs that many
networks at once.

Prints one row per run (first latency event: hop, cause, seconds after the traffic began, added delay) and the
counts right / wrong / silent. A right run names hop 3 with the expected cause within 60 s and nothing else.

Usage: bench/queue_location.py [--runs 10] [--rate 50mbit] [--traffic tcp] [--engines hop,attr]
                               [--warmup 100] [--watch 120] [--parallel 1]
"""

import argparse
import concurrent.futures
import contextlib
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT))
sys.path.insert(0, str(ROOT / "client"))
from lab import Iperf3Flow, TestNetwork  # noqa: E402
from tarnvale import Probe  # noqa: E402

QUEUE_HOP = 3
FOUND_WITHIN_S = 60
EXPECTED_CAUSE = {"tcp": "saturation", "udp": "saturation", "cross": "congestion"}


def rate_in_mbit(rate: str) -> float:
    number = float(rate.rstrip("mbitkMK"))
    return number / 1000 if rate.lower().endswith("kbit") else number


def traffic_for(network: TestNetwork, kind: str, rate: str, seconds: float):
    duration = str(int(seconds) + 30)
    if kind == "tcp":
        return Iperf3Flow(network, "-t", duration, port=5331)
    if kind == "udp":
        return Iperf3Flow(network, "-u", "-b", f"{rate_in_mbit(rate) * 1.2:.1f}M", "-t", duration, port=5332)
    if kind == "cross":
        return Iperf3Flow(network, "-t", duration, port=5333, client_node="r1")
    if kind == "slow":
        network.set_answer_delay("r2", 20, 50)
    return contextlib.nullcontext()


def one_run(args, rate: str) -> dict:
    with TestNetwork(hops=3, icmp_rate_limit=True) as network:
        network.set_bottleneck("r2:eth1", rate, burst="64kb", latency="200ms")
        with Probe.start(args.probe, netns=network.namespace("client")) as probe:
            probe.handshake()
            for engine in args.engines.split(","):
                probe.start_engine(engine, network.server_address)
            probe.collect(args.warmup)
            with traffic_for(network, args.traffic, rate, args.watch):
                began = time.monotonic()
                events = []
                while time.monotonic() - began < args.watch:
                    for event in probe.collect(1):
                        events.append((time.monotonic() - began, event))
            probe.shutdown()
            probe.wait_for(lambda e: e.get("cmd") == "shutdown")
    latencies = [(at, e) for at, e in events if e["type"] == "latency"]
    behind = {e["hop"] for _, e in events if e["type"] == "hop_delay" and e["behind_queue"]}
    added = [e["added_ms"] for _, e in events if e["type"] == "hop_delay" and e["hop"] == QUEUE_HOP + 1]
    return {"rate": rate, "latencies": latencies, "behind": behind, "target_added_ms": max(added, default=0.0),
            "degradations": [e for _, e in events if e["type"] == "degradation"],
            "bottlenecks": [e for _, e in events if e["type"] == "bw_estimate" and e["bottleneck"]]}


def verdict(kind: str, run: dict) -> str:
    latencies = run["latencies"]
    if kind not in EXPECTED_CAUSE:
        return "right" if not latencies and not run["behind"] else "wrong"
    if any(e["affected_hop"] != QUEUE_HOP or e["cause"] != EXPECTED_CAUSE[kind] for _, e in latencies):
        return "wrong"
    if not latencies or latencies[0][0] > FOUND_WITHIN_S:
        return "silent"
    if kind != "cross" and "iperf3" not in latencies[0][1]["cause_detail"]:
        return "wrong"
    return "right"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--runs", type=int, default=10)
    parser.add_argument("--rate", default="50mbit")
    parser.add_argument("--traffic", choices=["tcp", "udp", "cross", "none", "slow"], default="tcp")
    parser.add_argument("--engines", default="hop,attr")
    parser.add_argument("--warmup", type=float, default=100)
    parser.add_argument("--watch", type=float, default=120)
    parser.add_argument("--parallel", type=int, default=1)
    parser.add_argument("--probe", default=str(ROOT / "build" / "tarnvale_probe"))
    args = parser.parse_args()

    rates = args.rate.split(",")
    print(f"{args.traffic} traffic over a {args.rate} link in front of hop {QUEUE_HOP}, engines {args.engines}, "
          f"{args.warmup:.0f} s quiet then {args.watch:.0f} s watched")
    print("| run | rate | first latency event | after s | added ms | latency events | hops behind a queue | "
          "highest added ms at the target | bottleneck flags | degradations | verdict |")
    print("|---|---|---|---|---|---|---|---|---|---|---|")
    counts = {"right": 0, "wrong": 0, "silent": 0}
    with concurrent.futures.ThreadPoolExecutor(max_workers=args.parallel) as pool:
        runs = pool.map(lambda number: one_run(args, rates[number % len(rates)]), range(args.runs))
        for number, run in enumerate(runs, 1):
            result = verdict(args.traffic, run)
            counts[result] += 1
            first = run["latencies"][0] if run["latencies"] else None
            if first:
                at, event = first
                described = (f"hop {event['affected_hop']} {event['cause']}: {event['cause_detail']} | {at:.0f} | "
                             f"{event['added_ms']:.0f}")
            else:
                described = "- | - | -"
            print(f"| {number} | {run['rate']} | {described} | {len(run['latencies'])} | "
                  f"{sorted(run['behind']) or '-'} | {run['target_added_ms']:.0f} | {len(run['bottlenecks'])} | "
                  f"{len(run['degradations'])} | {result} |", flush=True)
    print(f"right {counts['right']}, wrong {counts['wrong']}, silent {counts['silent']} of {args.runs}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
