#!/usr/bin/python3
"""The ICMP answers the bandwidth engine asks of each router and of the server, per minute (root needed).

Runs the probe's bw engine alone on the balanced test network (r1 spreads flows over r2 and r2b) for a whole
number of sweeps and counts, in each node's namespace, the ICMP messages it sent (`Icmp: OutMsgs` of
/proc/net/snmp, the counter `nstat` shows as IcmpOutMsgs): the routers' Time Exceeded answers to the trains and
the server's Port Unreachable answers. Nothing else sends ICMP in the network meanwhile.

Usage: bench/bw_answer_budget.py [--sweeps 4] [--probe build/tarnvale_probe]
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

SWEEP_SECONDS = 54.5  # the engine's sweep period (CAPS bw_sweep_ms)
NODES = ("r1", "r2", "r2b", "r3", "server")


def icmp_sent(network: TestNetwork, node: str) -> int:
    lines = [line.split() for line in network.run(node, ["cat", "/proc/net/snmp"]).stdout.splitlines()
             if line.startswith("Icmp:")]
    names, values = lines[0], lines[1]
    return int(values[names.index("OutMsgs")])


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--sweeps", type=int, default=4)
    parser.add_argument("--probe", default=str(ROOT / "build" / "tarnvale_probe"))
    args = parser.parse_args()
    seconds = args.sweeps * SWEEP_SECONDS - 2  # the next sweep has not begun
    with TestNetwork(hops=3, balanced=True) as network:
        before = {node: icmp_sent(network, node) for node in NODES}
        with Probe.start(args.probe, port=0, netns=network.namespace("client")) as probe:
            probe.handshake()
            probe.start_engine("bw", network.server_address)
            probe.collect(seconds)
            after = {node: icmp_sent(network, node) for node in NODES}
            probe.shutdown()
            probe.wait_for(lambda e: e.get("cmd") == "shutdown")
    print(f"ICMP messages sent over {args.sweeps} sweeps ({seconds + 2:.0f} s), and per minute:")
    for node in NODES:
        count = after[node] - before[node]
        print(f"  {node:7s} {count:5d}  {count / (seconds + 2) * 60:6.1f}/min")


if __name__ == "__main__":
    main()
