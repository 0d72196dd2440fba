#!/usr/bin/python3
"""Command-to-ack round trips and pipelined ack throughput over loopback.

Usage: bench/ack_roundtrip.py [PROBE_BINARY] [--rounds N] [--pipelined N]
"""

import argparse
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "client"))
from tarnvale import DEFAULT_PROBE_BINARY, Probe  # noqa: E402

COMMAND = b'{"cmd":"configure_engine"}\n'


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("binary", nargs="?", default=str(DEFAULT_PROBE_BINARY))
    parser.add_argument("--rounds", type=int, default=20000)
    parser.add_argument("--pipelined", type=int, default=200000)
    args = parser.parse_args()

    with Probe.start(args.binary) as probe:
        probe.handshake()
        for _ in range(1000):  # warm-up
            probe.send_raw(COMMAND)
            probe.next_line()
        samples = []
        for _ in range(args.rounds):
            started = time.perf_counter_ns()
            probe.send_raw(COMMAND)
            probe.next_line()
            samples.append((time.perf_counter_ns() - started) / 1000)
        samples.sort()

        started = time.perf_counter()
        batch = COMMAND * 1000
        sent = 0
        received = 0
        while received < args.pipelined:
            # Keep at most a few batches in flight so that neither side's buffers stall.
            while sent < args.pipelined and sent - received < 5000:
                probe.send_raw(batch)
                sent += 1000
            probe.next_line()
            received += 1
        elapsed = time.perf_counter() - started
        probe.shutdown()
        probe.wait()

    print(f"ack round trip over {args.rounds} commands (microseconds, client included): "
          f"median {statistics.median(samples):.1f}, p90 {samples[int(0.9 * len(samples))]:.1f}, "
          f"p99 {samples[int(0.99 * len(samples))]:.1f}")
    print(f"pipelined: {args.pipelined} commands acknowledged in {elapsed:.2f} s = "
          f"{args.pipelined / elapsed:,.0f} events/s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
