#!/usr/bin/python3
"""Every engine at once on a path whose routers and server keep the kernel's ICMP rate limits (root needed).

Runs the probe with the hop, bw and attr engines against the server for SECONDS, quiet or with LOSS % dropped on
the link after r2, then mtr (Debian's mtr-tiny) alone for the same time on the same network, and prints per hop
the configured loss, the probe's mean and highest reported loss, mtr's loss, and every degradation the probe
emitted. The engines' packets ask the routers for answers: the figures show whether they cost each other any.
With --balanced, r1 spreads flows over r2 and r2b and each probe flow's highest loss at each hop is printed too
(mtr's probes change ports and so paths: --no-mtr leaves it out).

Usage: bench/engine_interference.py [--seconds 600] [--loss 0] [--balanced] [--no-mtr] [--probe build/tarnvale_probe]
"""

import argparse
import statistics
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT))
sys.path.insert(0, str(ROOT / "client"))
sys.path.insert(0, str(ROOT / "bench"))
from lab import TestNetwork  # noqa: E402
from tarnvale import Probe  # noqa: E402
from hop_engine import run_mtr  # noqa: E402


def run_probe(network: TestNetwork, binary: str, seconds: float) -> tuple[dict, dict, list]:
    with Probe.start(binary, netns=network.namespace("client")) as probe:
        probe.handshake()
        for engine in ("hop", "bw", "attr"):
            probe.start_engine(engine, network.server_address)
        events = probe.collect(seconds)
        probe.shutdown()
        probe.wait_for(lambda e: e.get("cmd") == "shutdown")
    losses, flow_losses = {}, {}
    for event in events:
        if event["type"] == "hop_loss":
            losses.setdefault(event["hop"], []).append(event["loss_pct"])
        elif event["type"] == "flow_loss":
            flow_losses.setdefault((event["flow"], event["hop"]), []).append(event["loss_pct"])
    return losses, flow_losses, [e for e in events if e["type"] == "degradation"]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=float, default=600)
    parser.add_argument("--loss", type=float, default=0)
    parser.add_argument("--balanced", action="store_true")
    parser.add_argument("--no-mtr", action="store_true")
    parser.add_argument("--probe", default=str(ROOT / "build" / "tarnvale_probe"))
    args = parser.parse_args()

    with TestNetwork(hops=3, icmp_rate_limit=True, balanced=args.balanced) as network:
        if args.loss:
            network.set_loss("r2:eth1", args.loss)
        losses, flow_losses, degradations = run_probe(network, args.probe, args.seconds)
        mtr = {"loss": {}} if args.no_mtr else run_mtr(network, args.seconds)

    truth = {1: 0.0, 2: 0.0, 3: args.loss, 4: args.loss}
    print(f"hop, bw and attr for {args.seconds:.0f} s, {args.loss:.0f} % loss on r2:eth1, kernel ICMP rate limits on"
          + (", r1 balancing flows over r2 and r2b" if args.balanced else ""))
    print("| hop | configured loss % | tarnvale_probe mean loss % | highest % | mtr loss % |")
    print("|---|---|---|---|---|")
    for hop in sorted(set(truth) | set(losses)):
        values = losses.get(hop, [])
        mean = f"{statistics.mean(values):.1f}" if values else "-"
        highest = f"{max(values):.1f}" if values else "-"
        print(f"| {hop} | {truth.get(hop, float('nan')):.0f} | {mean} | {highest} | "
              f"{mtr['loss'].get(hop, float('nan')):.1f} |")
    if flow_losses:
        print("| flow | highest loss % by hop |")
        print("|---|---|")
        for flow in sorted({flow for flow, _ in flow_losses}):
            by_hop = ", ".join(f"{hop}: {max(values):.1f}" for (f, hop), values in sorted(flow_losses.items())
                               if f == flow)
            print(f"| {flow} | {by_hop} |")
    print(f"degradation events: {len(degradations)}")
    for event in degradations:
        print(f"  hop {event['affected_hop']} {event['cause']} {event['severity']} loss {event['loss_now_pct']:.1f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
