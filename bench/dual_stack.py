#!/usr/bin/python3
"""The engines over IPv4 and IPv6 side by side on the dual-stack test network (root needed).

Hop engine: one probe per family at the same time, LOSS % dropped on the link after r2, for SECONDS: mean loss
and round trip per hop. Bandwidth engine: each family in turn with the link after r2 capped at 500 kbit/s: the
first sweep's estimate and bottleneck flag per hop. Attribution: an iperf3 UDP upload of 20 Mbit/s for 8 s per
family and one process sending over both: the bytes counted against the bytes its datagrams put on the wire.

Usage: bench/dual_stack.py [--seconds 240] [--loss 20] [--probe build/tarnvale_probe]
"""

import argparse
import statistics
import sys
import threading
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT))
sys.path.insert(0, str(ROOT / "client"))
sys.path.insert(0, str(ROOT / "tests" / "e2e"))
from lab import Iperf3Flow, TestNetwork  # noqa: E402
from tarnvale import Probe  # noqa: E402
from test_attr_ipv6 import IPV4, IPV6, counted_bytes, wire_bytes  # noqa: E402

FAMILIES = ("IPv4", "IPv6")


def target_of(network: TestNetwork, family: str) -> str:
    return network.server_address if family == "IPv4" else network.server_address_v6


def hop_figures(network: TestNetwork, binary: str, family: str, seconds: float, results: dict) -> None:
    with Probe.start(binary, netns=network.namespace("client")) as probe:
        probe.handshake()
        probe.start_engine("hop", target_of(network, family))
        probe.collect(30)  # the rings fill
        events = [e for e in probe.collect(seconds) if e["type"] == "hop_loss"]
    by_hop: dict[int, list[dict]] = {}
    for event in events:
        by_hop.setdefault(event["hop"], []).append(event)
    results[family] = {hop: (statistics.mean(e["loss_pct"] for e in hop_events),
                             statistics.mean(e["rtt_ms"] for e in hop_events), hop_events[-1]["addr"])
                       for hop, hop_events in sorted(by_hop.items())}


def bandwidth_figures(network: TestNetwork, binary: str, family: str) -> dict:
    with Probe.start(binary, netns=network.namespace("client")) as probe:
        probe.handshake()
        probe.start_engine("bw", target_of(network, family))
        estimates = {}
        while len(estimates) < network.hops:
            event, _ = probe.wait_for(lambda e: e["type"] == "bw_estimate", timeout=60)
            estimates[event["hop"]] = event
    return estimates


def attribution_figures(network: TestNetwork, binary: str, family: str) -> tuple[float, float]:
    with Probe.start(binary, netns=network.namespace("client")) as probe:
        probe.handshake()
        probe.start_engine("attr", "")
        probe.collect(2)
        with Iperf3Flow(network, "-u", "-b", "20M", "-t", "8", address=target_of(network, family),
                        port=5331) as flow:
            events = [e for e in probe.collect(10) if e["type"] == "app_traffic"]
            report = flow.result(timeout=30)
            pid = flow.client.pid
    return counted_bytes(events, pid, "up"), wire_bytes(report, IPV4 if family == "IPv4" else IPV6)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=float, default=240)
    parser.add_argument("--loss", type=float, default=20)
    parser.add_argument("--probe", default=str(ROOT / "build" / "tarnvale_probe"))
    args = parser.parse_args()

    with TestNetwork(hops=3) as network:
        network.set_loss("r2:eth1", args.loss)
        hops: dict = {}
        runs = [threading.Thread(target=hop_figures, args=(network, args.probe, family, args.seconds, hops))
                for family in FAMILIES]
        for run in runs:
            run.start()
        for run in runs:
            run.join()
        network.set_loss("r2:eth1", 0)
        network.set_bottleneck("r2:eth1", "500kbit")
        bandwidth = {family: bandwidth_figures(network, args.probe, family) for family in FAMILIES}
        network.set_bottleneck("r2:eth1", None)
        attribution = {family: attribution_figures(network, args.probe, family) for family in FAMILIES}

    print(f"Hop engine, {args.loss:.0f} % loss on r2:eth1, both families at once for {args.seconds:.0f} s "
          "(after 30 s): mean loss % and round trip ms per hop")
    print("| hop | IPv4 address | IPv4 loss % | IPv4 rtt ms | IPv6 address | IPv6 loss % | IPv6 rtt ms |")
    print("|---|---|---|---|---|---|---|")
    for hop in sorted(set(hops["IPv4"]) | set(hops["IPv6"])):
        cells = []
        for family in FAMILIES:
            loss, rtt, addr = hops[family].get(hop, (float("nan"), float("nan"), "-"))
            cells += [addr, f"{loss:.1f}", f"{rtt:.3f}"]
        print(f"| {hop} | " + " | ".join(cells) + " |")
    print("\nBandwidth engine, 500 kbit/s on r2:eth1, first sweep: estimate Mbit/s (bottleneck flag)")
    print("| hop | IPv4 | IPv6 |")
    print("|---|---|---|")
    for hop in range(1, network.hops + 1):
        cells = [f"{bandwidth[f][hop]['mbps']:.2f} ({'yes' if bandwidth[f][hop]['bottleneck'] else 'no'})"
                 for f in FAMILIES]
        print(f"| {hop} | " + " | ".join(cells) + " |")
    print("\nAttribution, iperf3 UDP upload 20 Mbit/s for 8 s: bytes counted against bytes on the wire")
    print("| family | counted | on the wire | difference % |")
    print("|---|---|---|---|")
    for family in FAMILIES:
        counted, wire = attribution[family]
        print(f"| {family} | {counted:.0f} | {wire:.0f} | {100 * (counted - wire) / wire:+.2f} |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
