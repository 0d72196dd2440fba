#!/usr/bin/python3
"""The answers the hop engine asks of each router and of the server, per minute (root needed).

Runs one probe's hop engine against the server of a balanced test network (r1 spreads flows over r2 and r2b) for
SECONDS, with the engine's default schedule or INTERVAL_MS, and counts at the client what each responder sent it:
ICMP errors (Time Exceeded, Destination Unreachable), echo replies, and the server's TCP answers. Run it with two
binaries to compare them: every figure is per responder address, so a router asked more by one build shows.

Usage: bench/answers_per_responder.py [--seconds 120] [--interval-ms 5000] [--probe build/tarnvale_probe]
"""

import argparse
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT))
sys.path.insert(0, str(ROOT / "client"))
from lab import TestNetwork  # noqa: E402
from tarnvale import Probe  # noqa: E402

KINDS = {
    "errors": "icmp type { time-exceeded, destination-unreachable }",
    "echo replies": "icmp type echo-reply",
    "tcp": "meta l4proto tcp",
}


def responders(network: TestNetwork) -> list[str]:
    addresses = []
    for branch in network.branches:
        addresses += [address for address in network.hop_addresses(branch=branch) if address not in addresses]
    return addresses


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=float, default=120)
    parser.add_argument("--interval-ms", type=int, default=5000)
    parser.add_argument("--probe", default=str(ROOT / "build" / "tarnvale_probe"))
    args = parser.parse_args()

    with TestNetwork(hops=3, balanced=True) as network:
        counters = {(address, kind): network.count_packets(
            "client", f'iifname "eth0" ip saddr {address} ip daddr {network.client_address} {match}')
            for address in responders(network) for kind, match in KINDS.items()}
        with Probe.start(args.probe, netns=network.namespace("client")) as probe:
            probe.handshake()
            probe.send({"cmd": "start_engine", "engine": "hop", "target": network.server_address,
                        "interval_ms": args.interval_ms})
            started = time.monotonic()
            probe.collect(args.seconds)
            elapsed = time.monotonic() - started
        print(f"{args.probe}, {elapsed:.0f} s, sweeps every {args.interval_ms} ms: answers per minute")
        print("| responder | " + " | ".join(KINDS) + " |")
        print("|---|" + "---|" * len(KINDS))
        for address in responders(network):
            rates = [counters[(address, kind)].packets() * 60 / elapsed for kind in KINDS]
            print(f"| {address} | " + " | ".join(f"{rate:.1f}" for rate in rates) + " |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
