#!/usr/bin/python3
"""How long the exporter takes to reload a config file of 50 targets, and whether it leaves the unchanged ones
alone (root needed). The test network's server gets 50 more addresses (25 IPv4 in 203.0.113.0/24, 25 IPv6 in
2001:db8:113::/64, on its own link: the client namespace's routes lead there and nowhere else), the exporter
starts with a config of 50 of them (hop engine), and then the file is rewritten by turns between two sets that
share 25 targets: 25 removed and 25 added at each reload, 50 changes. Each POST /-/reload is timed until it
answers; the probes, the exporter's children (pgrep -P), are counted before and after: kept, stopped and started.
Printed: the median and slowest reload time and the counts. The target is under 1 s, with the 25 unchanged
targets' probes kept at every reload.

Usage: bench/exporter_reload.py [--reloads 5] [--settle 10] [--probe build/tarnvale_probe]
"""

import argparse
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.request
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT))
from lab import TestNetwork  # noqa: E402

TARGETS = 50


def extra_server_addresses(count: int) -> list[str]:
    """`count` addresses of the server's own networks, IPv4 and IPv6 by turns, clear of the lab's own."""
    return [f"203.0.113.{100 + i // 2}" if i % 2 == 0 else f"2001:db8:113::{100 + i // 2:x}" for i in range(count)]


def add_server_addresses(network: TestNetwork, addresses: list[str]) -> None:
    interface = network.run("server", ["ip", "-o", "addr", "show", "to", network.server_address]).stdout.split()[1]
    for address in addresses:
        if ":" in address:
            network.run("server", ["ip", "-6", "addr", "add", f"{address}/64", "dev", interface, "nodad"])
        else:
            network.run("server", ["ip", "addr", "add", f"{address}/24", "dev", interface])


def write_config(path: Path, targets: list[str], engines: str = "hop") -> None:
    path.write_text("targets:\n" + "".join(f"  - target: {target}\n    engines: [{engines}]\n" for target in targets))


def start_exporter(config: Path, port: int, probe: str, network: TestNetwork) -> subprocess.Popen:
    """The exporter of the config's targets, its probes in the client's namespace, once it serves."""
    exporter = subprocess.Popen(
        [sys.executable, "-m", "tarnvale", "export", "--config", str(config), "--listen", f"127.0.0.1:{port}",
         "--probe", probe, "--netns", network.namespace("client")],
        cwd=ROOT / "client", stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    exporter.stdout.readline()
    return exporter


def probes(exporter: subprocess.Popen) -> set[int]:
    found = subprocess.run(["pgrep", "-P", str(exporter.pid)], capture_output=True, text=True).stdout
    return {int(pid) for pid in found.split()}


def wait_for_probes(exporter: subprocess.Popen, count: int, timeout: float) -> set[int]:
    deadline = time.monotonic() + timeout
    while True:
        running = probes(exporter)
        if len(running) == count or time.monotonic() > deadline:
            return running
        time.sleep(0.1)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--reloads", type=int, default=5)
    parser.add_argument("--settle", type=float, default=10, help="seconds between reloads")
    parser.add_argument("--probe", default=str(ROOT / "build" / "tarnvale_probe"))
    args = parser.parse_args()
    with socket.socket() as free:
        free.bind(("127.0.0.1", 0))
        port = free.getsockname()[1]
    addresses = extra_server_addresses(TARGETS + TARGETS // 2)
    # Two sets of 50 that share their middle 25: each reload removes 25 targets and adds 25 others.
    sets = [addresses[:TARGETS], addresses[TARGETS // 2:]]
    unchanged = set(sets[0]) & set(sets[1])
    failures = []
    with TestNetwork(hops=3) as network, tempfile.TemporaryDirectory() as folder:
        routes = network.run("client", ["ip", "route"]).stdout + network.run("client", ["ip", "-6", "route"]).stdout
        print("client namespace routes:\n  " + "\n  ".join(routes.split("\n")).rstrip())
        add_server_addresses(network, addresses)
        config = Path(folder) / "targets.yml"
        write_config(config, sets[0])
        exporter = start_exporter(config, port, args.probe, network)
        try:
            started = time.perf_counter()
            before = wait_for_probes(exporter, TARGETS, 120)
            print(f"{len(before)} probes running {time.perf_counter() - started:.1f} s after the exporter's start")
            time.sleep(args.settle)
            durations, settled = [], []
            for reload in range(1, args.reloads + 1):
                before = probes(exporter)
                write_config(config, sets[reload % 2])
                started = time.perf_counter()
                status = urllib.request.urlopen(urllib.request.Request(f"http://127.0.0.1:{port}/-/reload",
                                                                       method="POST"), timeout=60).status
                durations.append(time.perf_counter() - started)
                after = wait_for_probes(exporter, TARGETS, 60)
                settled.append(time.perf_counter() - started)
                kept, stopped, begun = before & after, before - after, after - before
                print(f"reload {reload}: HTTP {status} in {durations[-1] * 1000:.0f} ms, {len(after)} probes "
                      f"running after {settled[-1] * 1000:.0f} ms: {len(kept)} kept, {len(stopped)} stopped, "
                      f"{len(begun)} started")
                if status != 200 or len(kept) != len(unchanged) or len(stopped) != TARGETS - len(unchanged) \
                        or len(begun) != TARGETS - len(unchanged):
                    failures.append(f"reload {reload}: expected {len(unchanged)} kept and "
                                    f"{TARGETS - len(unchanged)} stopped and started")
                time.sleep(args.settle)
        finally:
            exporter.send_signal(signal.SIGTERM)
            exporter.wait(timeout=60)
    print(f"{args.reloads} reloads of {TARGETS} targets, {TARGETS - len(unchanged)} removed and "
          f"{TARGETS - len(unchanged)} added each ({len(unchanged)} unchanged): POST /-/reload answered in "
          f"median {statistics.median(durations) * 1000:.0f} ms, slowest {max(durations) * 1000:.0f} ms; all "
          f"{TARGETS} probes running after median {statistics.median(settled) * 1000:.0f} ms")
    for failure in failures:
        print(failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
