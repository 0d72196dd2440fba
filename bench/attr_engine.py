#!/usr/bin/python3
"""The attribution engine in the test network: capture drops, CPU and accuracy beside nethogs (root needed).

For each packet rate, sends small UDP datagrams with iperf3 from the client to the server for SECONDS while the
probe's attr engine and nethogs (Debian's nethogs, trace mode, TCP and UDP) watch the client's interface, and
prints per rate: the frames the capture received and dropped (the accumulator logs the capture library's
counts when the engine stops), the bytes each tool attributed to iperf3 against iperf3's own count (payload plus
UDP, IPv4 and Ethernet headers), and the CPU each used, also per million packets.

Usage: bench/attr_engine.py [--seconds 10] [--rates 10000 50000 100000] [--length 200] [--probe build/tarnvale_probe]
"""

import argparse
import json
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT))
sys.path.insert(0, str(ROOT / "client"))
from lab import Iperf3Flow, TestNetwork  # noqa: E402
from tarnvale import Probe  # noqa: E402
from measure import cpu_seconds  # noqa: E402

HEADERS = 8 + 20 + 14  # UDP, IPv4, Ethernet
NETHOGS_LINE = re.compile(r"^(.*)/(\d+)/(\d+)\t([\d.e+-]+)\t([\d.e+-]+)$")


def nethogs_bytes(output: str, pid: int) -> float:
    """The last total (sent plus received, bytes) nethogs printed for the process."""
    total = 0.0
    for line in output.splitlines():
        match = NETHOGS_LINE.match(line.strip())
        if match and int(match.group(2)) == pid:
            total = float(match.group(4)) + float(match.group(5))
    return total


def accumulator_counts(log_dir: Path, pid: int) -> dict:
    for line in (log_dir / f"tv_{pid}.log").read_text().splitlines():
        record = json.loads(line)
        if record["fields"].get("message") == "attr accumulator stopped":
            return record["fields"]
    return {}


def measure(network: TestNetwork, binary: str, rate: int, length: int, seconds: float) -> dict:
    log_dir = Path(tempfile.mkdtemp(prefix="tarnvale-bench-"))
    with Probe.start(binary, netns=network.namespace("client"), env={"TMPDIR": str(log_dir)}) as probe:
        probe.handshake()
        pid = probe.process.pid
        probe.start_engine("attr", "")
        nethogs = network.popen("client", ["nethogs", "-t", "-C", "-v", "2", "-d", "1", "eth0"],
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        time.sleep(1.5)
        probe_cpu, nethogs_cpu = cpu_seconds(pid), cpu_seconds(nethogs.pid)
        with Iperf3Flow(network, "-u", "-l", str(length), "-b", str(rate * length * 8), "-t", str(seconds),
                        port=5331) as flow:
            events = probe.collect(seconds + 2)
            report = flow.result(timeout=seconds * 3)
            iperf_pid = flow.client.pid
        probe_cpu = cpu_seconds(pid) - probe_cpu
        nethogs_cpu = cpu_seconds(nethogs.pid) - nethogs_cpu
        nethogs.terminate()
        nethogs_output = nethogs.communicate(timeout=10)[0]
        probe.stop_engine("attr")
        probe.collect(1)
        probe.shutdown()
        probe.wait_for(lambda e: e.get("cmd") == "shutdown")
    packets = report["end"]["sum"]["packets"]
    return {
        "rate": rate,
        "packets": packets,
        "iperf_bytes": report["end"]["sum"]["bytes"] + packets * HEADERS,
        "probe_bytes": sum((e["mbps_up"] + e["mbps_down"]) * 1e6 / 8 for e in events
                           if e["type"] == "app_traffic" and e["pid"] == iperf_pid),
        "nethogs_bytes": nethogs_bytes(nethogs_output, iperf_pid),
        "probe_cpu": probe_cpu,
        "nethogs_cpu": nethogs_cpu,
        "capture": accumulator_counts(log_dir, pid),
    }


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=int, default=10)
    parser.add_argument("--rates", type=int, nargs="+", default=[10000, 50000, 100000])
    parser.add_argument("--length", type=int, default=200, help="UDP payload bytes per datagram")
    parser.add_argument("--probe", default=str(ROOT / "build" / "tarnvale_probe"))
    args = parser.parse_args()
    if shutil.which("nethogs") is None:
        subprocess.run(["apt-get", "install", "-y", "-qq", "nethogs"], check=True, capture_output=True)

    with TestNetwork(hops=1) as network:
        rows = [measure(network, args.probe, rate, args.length, args.seconds) for rate in args.rates]

    print(f"iperf3 UDP, {args.length}-byte payloads, {args.seconds} s per rate, client to server through one router")
    print("| packets/s asked | packets sent | capture received | capture dropped | iperf3 bytes | "
          "tarnvale bytes | nethogs bytes | tarnvale CPU s | nethogs CPU s | tarnvale CPU s per Mpkt | "
          "nethogs CPU s per Mpkt |")
    print("|---|---|---|---|---|---|---|---|---|---|---|")
    for row in rows:
        million = row["packets"] / 1e6
        print(f"| {row['rate']} | {row['packets']} | {row['capture'].get('received', '?')} | "
              f"{row['capture'].get('dropped', '?')} | {row['iperf_bytes']:.0f} | {row['probe_bytes']:.0f} | "
              f"{row['nethogs_bytes']:.0f} | {row['probe_cpu']:.2f} | {row['nethogs_cpu']:.2f} | "
              f"{row['probe_cpu'] / million:.2f} | {row['nethogs_cpu'] / million:.2f} |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
