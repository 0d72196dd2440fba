#!/usr/bin/python3
"""Time to build and tear down the test network (root needed).

Usage: bench/lab_setup.py [--hops 3] [--rounds 20]
"""

import argparse
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
from lab import TestNetwork  # noqa: E402


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--hops", type=int, default=3)
    parser.add_argument("--rounds", type=int, default=20)
    args = parser.parse_args()
    ups, downs = [], []
    for _ in range(args.rounds):
        network = TestNetwork(hops=args.hops)
        started = time.perf_counter()
        network.up()
        ups.append(time.perf_counter() - started)
        started = time.perf_counter()
        network.down()
        downs.append(time.perf_counter() - started)
    print(f"{args.hops} routers, {args.rounds} rounds: set-up median {statistics.median(ups) * 1000:.0f} ms "
          f"(max {max(ups) * 1000:.0f}), teardown median {statistics.median(downs) * 1000:.0f} ms "
          f"(max {max(downs) * 1000:.0f})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
