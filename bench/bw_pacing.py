#!/usr/bin/python3
"""The bandwidth engine's pacing in the test network (root needed).

Runs the probe's bw engine for SECONDS and records, with tcpdump on r1's client-side interface (kernel
timestamps, nanosecond precision), every train packet as it arrives at the first router. Prints the
distribution of the gaps between consecutive packets of a train (the engine waits 5 ms after each packet;
target: median within 0.1 ms of 5 ms, 99th percentile within 0.5 ms), the trains' bytes per minute (the
routers' answer budget they spend; a run of 180 s or more spans several sweeps) and the probe's CPU share.

It also records the routers' Time Exceeded answers as they reach the client (kernel timestamps again) and
compares the first hop's bandwidth computed from those with the engine's own estimate, which rests on a clock
read right after the capture library hands each answer over.

Usage: bench/bw_pacing.py [--seconds 60] [--probe build/tarnvale_probe]
"""

import argparse
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT))
sys.path.insert(0, str(ROOT / "client"))
from lab import TestNetwork  # noqa: E402
from tarnvale import Probe  # noqa: E402
from measure import cpu_seconds, status_value  # noqa: E402

# A train packet's identification is its tag, 0x8000 | (train * 10 + index); all of them go to one port.
# "1796641337.123456789 IP (tos 0x0, ttl 3, id 33025, ...)" and on the next line
# "    192.168.1.10.40123 > 203.0.113.10.33434: UDP, length 1372"
PACKET = re.compile(r"^(\d+\.\d+) IP \(.*?\bid (\d+),.*?\)\n\s+\S+\.\d+ > \S+\.\d+: UDP", re.MULTILINE)


def train_and_index(identification: int) -> tuple[int, int]:
    return divmod(identification & 0x7FFF, 10)


def train_gaps(tcpdump_output: str) -> list[float]:
    """Milliseconds between consecutive packets of each train, in order of their index. A train's packets
    follow one another in the record; train numbers come round again after 256 trains."""
    gaps = []
    previous = None
    for match in PACKET.finditer(tcpdump_output):
        arrival, packet = float(match.group(1)), train_and_index(int(match.group(2)))
        if previous and previous[1] == (packet[0], packet[1] - 1):
            gaps.append((arrival - previous[0]) * 1000)
        previous = (arrival, packet)
    return gaps


# "1796641337.123456789 IP (tos 0xc0, ttl 64, id 1, ...)\n    192.168.1.1 > 192.168.1.10: ICMP time exceeded
# in-transit, length 556\n\tIP (tos 0x0, ttl 1, id 33025, ...)\n    192.168.1.10.40123 > 203.0.113.10.33434: UDP"
ANSWER = re.compile(r"^(\d+\.\d+) IP .*?\n\s+(\S+) > \S+: ICMP time exceeded in-transit.*?\n\s+IP \(.*?\bid (\d+),"
                    r".*?\)\n\s+\S+\.\d+ > \S+\.\d+: UDP", re.MULTILINE | re.DOTALL)


def first_hop_mbps_from_answers(tcpdump_output: str, first_router: str) -> float:
    """Hop 1's bandwidth as the engine computes it (1400 bytes over the median spacing of each train's first
    two answers), from kernel timestamps. Every train packet has the same ports: hop 1's answers are those
    of the first router, and a train's answers follow one another."""
    trains: list[tuple[int, list[float]]] = []
    for match in ANSWER.finditer(tcpdump_output):
        if match.group(2) != first_router:
            continue
        train, _ = train_and_index(int(match.group(3)))
        if not trains or trains[-1][0] != train:
            trains.append((train, []))
        trains[-1][1].append(float(match.group(1)))
    spacings = sorted(arrivals[1] - arrivals[0] for _, arrivals in trains if len(arrivals) >= 2)
    if not spacings:
        return float("nan")
    median = spacings[len(spacings) // 2]  # the upper median, as the estimator takes it
    return 1400 * 8 / median / 1e6


def percentile(values: list[float], fraction: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=float, default=60)
    parser.add_argument("--probe", default=str(ROOT / "build" / "tarnvale_probe"))
    args = parser.parse_args()
    if shutil.which("tcpdump") is None:
        subprocess.run(["apt-get", "install", "-y", "-qq", "tcpdump"], check=True, capture_output=True)

    with TestNetwork(hops=3) as network, tempfile.TemporaryFile("w+") as record, \
            tempfile.TemporaryFile("w+") as answers_record:
        # To files: a pipe nobody reads for a minute would fill and make tcpdump drop packets.
        capture = ["tcpdump", "-i", "eth0", "-n", "-v", "-tt", "-l", "--immediate-mode", "--time-stamp-precision=nano"]
        tcpdump = network.popen("r1", [*capture, "udp and ip[2:2] = 1400"], stdout=record, stderr=subprocess.DEVNULL,
                                text=True)
        answers = network.popen("client", [*capture, "icmp[0] = 11"], stdout=answers_record,
                                stderr=subprocess.DEVNULL, text=True)
        time.sleep(1)
        with Probe.start(args.probe, netns=network.namespace("client")) as probe:
            probe.handshake()
            pid = probe.process.pid
            cpu_before, started = cpu_seconds(pid), time.monotonic()
            probe.start_engine("bw", network.server_address)
            estimates = [e for e in probe.collect(args.seconds) if e["type"] == "bw_estimate" and e["hop"] == 1]
            cpu_share = (cpu_seconds(pid) - cpu_before) / (time.monotonic() - started)
            peak_rss, threads = status_value(pid, "VmHWM"), status_value(pid, "Threads")
            probe.shutdown()
            probe.wait_for(lambda e: e.get("cmd") == "shutdown")
        time.sleep(0.5)
        for process in (tcpdump, answers):
            process.terminate()
            process.wait(timeout=10)
        record.seek(0)
        output = record.read()
        answers_record.seek(0)
        kernel_mbps = first_hop_mbps_from_answers(answers_record.read(), network.hop_addresses()[0])

    gaps = train_gaps(output)
    if not gaps:
        print("no train packets captured")
        return 1
    print(f"{len(gaps)} gaps between consecutive train packets, seen at r1 over {args.seconds:.0f} s")
    print("| min ms | median ms | p90 ms | p99 ms | max ms |")
    print("|---|---|---|---|---|")
    print(f"| {min(gaps):.3f} | {statistics.median(gaps):.3f} | {percentile(gaps, 0.90):.3f} | "
          f"{percentile(gaps, 0.99):.3f} | {max(gaps):.3f} |")
    sent = len(PACKET.findall(output))
    print(f"trains: {sent} packets, {sent * 1400 * 60 / args.seconds / 1000:.0f} kB per minute")
    print(f"tarnvale_probe: CPU {cpu_share * 100:.2f} % of one core, peak RSS {peak_rss}, threads {threads}")
    engine_mbps = estimates[-1]["mbps"] if estimates else float("nan")
    print(f"hop 1 bandwidth: engine (clock read after hand-over) {engine_mbps:.4f} Mbps, "
          f"kernel timestamps of the same answers {kernel_mbps:.4f} Mbps")
    return 0


if __name__ == "__main__":
    sys.exit(main())
