"""Command line of the tarnvale client: `python3 -m tarnvale session`."""

import argparse
import json
import sys

from .client import DEFAULT_PROBE_BINARY, Probe, ProbeError


def session(args) -> int:
    """Starts the probe, shakes hands, starts engines and prints every event."""
    try:
        with Probe.start(args.probe, netns=args.netns) as probe:
            caps = probe.handshake()
            print(f"probe listening on port {probe.port}; engines offered: {', '.join(caps['engines'])}")
            for engine in args.engines.split(","):
                probe.start_engine(engine, args.target)
            for event in probe.collect(args.duration):
                print(json.dumps(event))
            probe.shutdown()
            probe.wait_for(lambda e: e.get("cmd") == "shutdown")
            status = probe.wait()
            print(f"probe exited with status {status}")
            return status
    except ProbeError as failure:
        print(f"tarnvale: {failure}", file=sys.stderr)
        return 1


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(prog="tarnvale", description="Client of tarnvale_probe.")
    commands = parser.add_subparsers(dest="command", required=True)
    run = commands.add_parser("session", help="start the probe and print its events")
    run.add_argument("target", help="address or host name to measure")
    run.add_argument("--engines", default="capture", help="comma-separated engines to start")
    run.add_argument("--duration", type=float, default=5.0, help="seconds to listen")
    run.add_argument("--probe", default=str(DEFAULT_PROBE_BINARY), help="probe binary")
    run.add_argument("--netns", help="network namespace to run the probe in")
    run.set_defaults(handler=session)
    args = parser.parse_args(argv)
    return args.handler(args)


if __name__ == "__main__":
    sys.exit(main())
