#!/usr/bin/python3
"""How long the exporter takes to answer a scrape with three targets (root needed): the exporter runs the hop,
bandwidth and attribution engines for the server's IPv4 address, its IPv6 address and its dual-stack name in the
test network, and after a minute of reports is scraped 200 times. The target is under 50 ms.

Usage: bench/exporter_scrape.py [--scrapes 200] [--probe build/tarnvale_probe]
"""

import argparse
import signal
import socket
import statistics
import subprocess
import sys
import time
import urllib.request
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT))
from lab import TestNetwork  # noqa: E402
from lab.network import DUAL_STACK_NAME  # noqa: E402


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--scrapes", type=int, default=200)
    parser.add_argument("--probe", default=str(ROOT / "build" / "tarnvale_probe"))
    args = parser.parse_args()
    with socket.socket() as free:
        free.bind(("127.0.0.1", 0))
        port = free.getsockname()[1]
    with TestNetwork(hops=3) as network:
        exporter = subprocess.Popen(
            [sys.executable, "-m", "tarnvale", "export", network.server_address, network.server_address_v6,
             DUAL_STACK_NAME, "--listen", f"127.0.0.1:{port}", "--probe", args.probe,
             "--netns", network.namespace("client")],
            cwd=ROOT / "client", stdout=subprocess.PIPE, text=True)
        try:
            exporter.stdout.readline()
            time.sleep(60)
            durations, size = [], 0
            for _ in range(args.scrapes):
                started = time.perf_counter()
                size = len(urllib.request.urlopen(f"http://127.0.0.1:{port}/metrics", timeout=5).read())
                durations.append(time.perf_counter() - started)
        finally:
            exporter.send_signal(signal.SIGTERM)
            exporter.wait(timeout=30)
    durations.sort()
    print(f"{args.scrapes} scrapes of {size} bytes: median {statistics.median(durations) * 1000:.2f} ms, "
          f"95th percentile {durations[int(0.95 * len(durations))] * 1000:.2f} ms, "
          f"slowest {durations[-1] * 1000:.2f} ms")
    return 0


if __name__ == "__main__":
    sys.exit(main())
