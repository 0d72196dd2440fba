#!/usr/bin/python3
"""The hop engine in the test network: its cost, and its loss figures beside mtr's (root needed).

Runs the probe's hop engine for SECONDS with LOSS % dropped on the link after r2, then mtr (Debian's mtr-tiny)
for the same time on the same network, and prints per-hop loss against the configured truth, packets sent per
minute, and the probe's CPU share, peak resident memory and threads.

Usage: bench/hop_engine.py [--seconds 60] [--loss 20] [--probe build/tarnvale_probe]
"""

import argparse
import re
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT))
sys.path.insert(0, str(ROOT / "client"))
from lab import TestNetwork  # noqa: E402
from tarnvale import Probe  # noqa: E402
from measure import cpu_seconds, status_value  # noqa: E402

def run_probe(network: TestNetwork, binary: str, seconds: float) -> dict:
    counter = network.count_packets("r1", f'iifname "eth0" ip saddr {network.client_address}')
    with Probe.start(binary, netns=network.namespace("client")) as probe:
        probe.handshake()
        pid = probe.process.pid
        probe.start_engine("hop", network.server_address)
        probe.collect(20)  # let the rings fill before measuring
        cpu_before, sent_before, started = cpu_seconds(pid), counter.packets(), time.monotonic()
        events = probe.collect(seconds)
        elapsed = time.monotonic() - started
        result = {
            "cpu_share": (cpu_seconds(pid) - cpu_before) / elapsed,
            "peak_rss": status_value(pid, "VmHWM"),
            "threads": status_value(pid, "Threads"),
            "packets_per_minute": (counter.packets() - sent_before) * 60 / elapsed,
        }
        probe.shutdown()
        probe.wait_for(lambda e: e.get("cmd") == "shutdown")
    losses = {}
    for event in events:
        if event["type"] == "hop_loss":
            losses.setdefault(event["hop"], []).append(event["loss_pct"])
    result["loss"] = {hop: statistics.mean(values) for hop, values in sorted(losses.items())}
    return result


def run_mtr(network: TestNetwork, seconds: float) -> dict:
    """mtr's report for `seconds` of one probe a second per hop: loss per hop and packets sent per minute.
    Installs Debian's mtr-tiny first when mtr is missing."""
    if shutil.which("mtr") is None:
        subprocess.run(["apt-get", "install", "-y", "-qq", "mtr-tiny"], check=True, capture_output=True)
    counter = network.count_packets("r1", f'iifname "eth0" ip saddr {network.client_address}')
    started = time.monotonic()
    report = network.run("client", ["mtr", "-n", "-r", "-c", str(int(seconds)), "-i", "1",
                                    network.server_address], timeout=seconds * 3).stdout
    elapsed = time.monotonic() - started
    loss = {}
    for line in report.splitlines():
        match = re.match(r"\s*(\d+)\.\|--\s+(\S+)\s+([\d.]+)%", line)
        if match:
            loss[int(match.group(1))] = float(match.group(3))
    return {"loss": loss, "packets_per_minute": counter.packets() * 60 / elapsed}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=float, default=60)
    parser.add_argument("--loss", type=float, default=20)
    parser.add_argument("--probe", default=str(ROOT / "build" / "tarnvale_probe"))
    args = parser.parse_args()

    with TestNetwork(hops=3) as network:
        network.set_loss("r2:eth1", args.loss)
        probe = run_probe(network, args.probe, args.seconds)
        mtr = run_mtr(network, args.seconds)

    truth = {1: 0.0, 2: 0.0, 3: args.loss, 4: args.loss}
    print(f"{args.loss:.0f} % loss on r2:eth1, {args.seconds:.0f} s each")
    print("| hop | configured loss % | tarnvale_probe mean loss % | mtr loss % |")
    print("|---|---|---|---|")
    for hop in sorted(truth):
        print(f"| {hop} | {truth[hop]:.0f} | {probe['loss'].get(hop, float('nan')):.1f} | "
              f"{mtr['loss'].get(hop, float('nan')):.1f} |")
    print(f"packets sent per minute: tarnvale_probe {probe['packets_per_minute']:.0f}, "
          f"mtr {mtr['packets_per_minute']:.0f}")
    print(f"tarnvale_probe: CPU {probe['cpu_share'] * 100:.2f} % of one core, peak RSS {probe['peak_rss']}, "
          f"threads {probe['threads']}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
