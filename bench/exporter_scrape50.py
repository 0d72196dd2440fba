#!/usr/bin/python3
"""How long the exporter takes to answer a scrape of 50 targets 10 hops away (root needed). The test network has
10 routers, and its server gets 49 more addresses on its own link (IPv4 in 203.0.113.0/24 and IPv6 in
2001:db8:113::/64 by turns; the client namespace's routes lead there and nowhere else), so that 50 distinct
targets, its own IPv4 address and these, each reach the server over the 10 routers: 11 hops with the server's.
The exporter runs the given engines (by default hop, which names every hop; bw on 50 targets at once would
measure the two cores' load more than the scrape) for each, from a config file, and after a minute of reports
(--wait) is scraped 200 times as Prometheus scrapes (its Accept header, which the exporter answers in the
OpenMetrics format, and gzip). Printed: the number of targets and of hop series in the scrape, the metrics with
the most samples, and the median and 95th percentile scrape time. The target is under 50 ms.

Usage: bench/exporter_scrape50.py [--scrapes 200] [--wait 60] [--engines hop] [--probe build/tarnvale_probe]
"""

import argparse
import collections
import gzip
import re
import signal
import socket
import statistics
import sys
import tempfile
import time
import urllib.request
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT))
sys.path.insert(0, str(ROOT / "bench"))
from lab import TestNetwork  # noqa: E402
from exporter_reload import add_server_addresses, extra_server_addresses, start_exporter, write_config  # noqa: E402

TARGETS = 50
HOPS = 10
# What Prometheus 2 sends with each scrape.
SCRAPE_HEADERS = {
    "Accept": "application/openmetrics-text;version=1.0.0,application/openmetrics-text;version=0.0.1;q=0.75,"
              "text/plain;version=0.0.4;q=0.5,*/*;q=0.1",
    "Accept-Encoding": "gzip",
}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--scrapes", type=int, default=200)
    parser.add_argument("--wait", type=float, default=60, help="seconds of reports before the scrapes")
    parser.add_argument("--engines", default="hop")
    parser.add_argument("--probe", default=str(ROOT / "build" / "tarnvale_probe"))
    args = parser.parse_args()
    with socket.socket() as free:
        free.bind(("127.0.0.1", 0))
        port = free.getsockname()[1]
    engines = ", ".join(args.engines.split(","))
    with TestNetwork(hops=HOPS) as network, tempfile.TemporaryDirectory() as folder:
        extra = extra_server_addresses(TARGETS - 1)
        add_server_addresses(network, extra)
        targets = [network.server_address, *extra]
        config = Path(folder) / "targets.yml"
        write_config(config, targets, engines)
        exporter = start_exporter(config, port, args.probe, network)
        try:
            time.sleep(args.wait)
            durations, text = [], ""
            for _ in range(args.scrapes):
                started = time.perf_counter()
                request = urllib.request.Request(f"http://127.0.0.1:{port}/metrics", headers=SCRAPE_HEADERS)
                body = urllib.request.urlopen(request, timeout=5).read()
                durations.append(time.perf_counter() - started)
                text = gzip.decompress(body).decode()
        finally:
            exporter.send_signal(signal.SIGTERM)
            exporter.wait(timeout=60)
    hops = re.findall(r'^tarnvale_hop_loss_ratio\{.*?hop="(\d+)",target="([^"]+)"', text, re.MULTILINE)
    per_target = {target: sum(1 for _, t in hops if t == target) for target in targets}
    full = sum(1 for count in per_target.values() if count >= HOPS)
    durations.sort()
    print(f"{TARGETS} targets ({engines}) over {HOPS} routers: the last scrape has {len(text.splitlines())} lines, "
          f"{len(text)} bytes, {len(hops)} hop loss series; {full} targets with all {HOPS} routers' hops "
          f"(fewest hops of a target: {min(per_target.values())})")
    families = collections.Counter(re.sub(r"(_bucket|_count|_sum|_created)$", "", line.split("{")[0].split()[0])
                                   for line in text.splitlines() if line and not line.startswith("#"))
    print("most samples: " + ", ".join(f"{name} {count}" for name, count in families.most_common(5)))
    print(f"{args.scrapes} scrapes: median {statistics.median(durations) * 1000:.2f} ms, "
          f"95th percentile {durations[int(0.95 * len(durations))] * 1000:.2f} ms, "
          f"slowest {durations[-1] * 1000:.2f} ms")
    return 0


if __name__ == "__main__":
    sys.exit(main())
