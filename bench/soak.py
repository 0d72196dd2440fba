#!/usr/bin/python3
"""All engines for a long time in the test network, under loss ramps and traffic (root needed).

Runs the hop, bw and attr engines against the server of a 3-router test network for MINUTES, with an iperf3
upload of RATE and the loss on the link after r2 ramping from 0 % to 30 % and back every ten minutes, and
samples the probe's resident memory, open descriptors, threads and log files (the current one and the one set
aside, together) each minute, along with the events received. Prints one row per minute and the growth from the
first sample after warm-up to the last.

Usage: bench/soak.py [--minutes 30] [--rate 5M] [--probe build/tarnvale_probe]
"""

import argparse
import collections
import os
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT))
sys.path.insert(0, str(ROOT / "client"))
sys.path.insert(0, str(ROOT / "tests" / "e2e"))
from lab import Iperf3Flow, TestNetwork  # noqa: E402
from tarnvale import Probe  # noqa: E402
from measure import status_value  # noqa: E402
from probe_helpers import open_descriptors  # noqa: E402

RAMP_SECONDS = 300  # up for five minutes, down for five


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--minutes", type=int, default=30)
    parser.add_argument("--rate", default="5M")
    parser.add_argument("--probe", default=str(ROOT / "build" / "tarnvale_probe"))
    args = parser.parse_args()

    rows = []
    log_dir = Path(tempfile.mkdtemp(prefix="tarnvale-soak-"))
    with TestNetwork(hops=3) as network, \
            Probe.start(args.probe, netns=network.namespace("client"), env=dict(os.environ, TMPDIR=str(log_dir))) \
            as probe, \
            Iperf3Flow(network, "-u", "-b", args.rate, "-t", str(args.minutes * 60 + 60), port=5351):
        probe.handshake()
        pid = probe.process.pid
        for engine in ("hop", "bw", "attr"):
            probe.start_engine(engine, network.server_address)
        ramp, rising, ramp_began = None, True, -RAMP_SECONDS
        started = time.monotonic()
        for minute in range(1, args.minutes + 1):
            counts = collections.Counter()
            while time.monotonic() - started < minute * 60:
                if time.monotonic() - ramp_began >= RAMP_SECONDS:
                    if ramp:
                        ramp.stop()
                    ramp = network.ramp_loss("r2:eth1", *((0, 30) if rising else (30, 0)), seconds=RAMP_SECONDS)
                    rising, ramp_began = not rising, time.monotonic()
                for event in probe.collect(1):
                    counts[event["type"]] += 1
            log_kb = sum(path.stat().st_size for path in log_dir.glob(f"tv_{pid}.log*")) // 1024
            rows.append((minute, int(status_value(pid, "VmRSS").split()[0]), open_descriptors(pid),
                         int(status_value(pid, "Threads")), log_kb, network.loss("r2:eth1"), dict(counts)))
            print(*rows[-1], flush=True)
        if ramp:
            ramp.stop()
        probe.shutdown()
        probe.wait_for(lambda e: e.get("cmd") == "shutdown")
        status = probe.wait()

    print("| minute | RSS kB | descriptors | threads | log files kB | loss % on r2:eth1 | events |")
    print("|---|---|---|---|---|---|---|")
    for minute, rss, descriptors, threads, log_kb, loss, counts in rows:
        events = ", ".join(f"{kind} {count}" for kind, count in sorted(counts.items()))
        print(f"| {minute} | {rss} | {descriptors} | {threads} | {log_kb} | {loss:.0f} | {events} |")
    warm = rows[min(2, len(rows) - 1)]
    print(f"from minute {warm[0]} to {rows[-1][0]}: RSS {rows[-1][1] - warm[1]:+d} kB, "
          f"descriptors {rows[-1][2] - warm[2]:+d}, threads {rows[-1][3] - warm[3]:+d}; exit status {status}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
