"""Command line of the tarnvale client: `tarnvale watch`, `tarnvale report`, `tarnvale export`,
`tarnvale session`."""

import argparse
import json
import sys

from .client import DEFAULT_PROBE_BINARY, Probe, ProbeError
from .export import DEFAULT_LISTEN, export
from .report import report
from .watch import watch


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

    live = commands.add_parser("watch", help="measure the path to TARGET and show it live")
    live.add_argument("target", help="address or host name to measure")
    live.add_argument("--engines", default="hop,bw,attr", help="comma-separated engines (default: hop,bw,attr)")
    live.add_argument("--duration", type=float, help="end cleanly after this many seconds")
    live.add_argument("--json", action="store_true", help="print the raw events as JSON lines instead of the view")
    live.add_argument("--record", metavar="FILE", help="keep every event with its arrival time in FILE")
    live.add_argument("--probe", default=str(DEFAULT_PROBE_BINARY), help="probe binary")
    live.add_argument("--netns", help="network namespace to run the probe in")
    live.set_defaults(handler=watch)

    chart = commands.add_parser("report", help="draw a recording as a PNG chart")
    chart.add_argument("recording", help="a file written by watch --record")
    chart.add_argument("--output", help="the PNG to write (default: the recording's name with .png)")
    chart.set_defaults(handler=report)
    exporter = commands.add_parser("export", help="keep probes running and serve their figures to Prometheus")
    exporter.add_argument("targets", nargs="+", metavar="TARGET", help="addresses or host names to measure")
    exporter.add_argument("--listen", default=DEFAULT_LISTEN, help=f"ADDR:PORT to serve /metrics on ({DEFAULT_LISTEN})")
    exporter.add_argument("--engines", default="hop,bw,attr", help="comma-separated engines (default: hop,bw,attr)")
    exporter.add_argument("--probe", default=str(DEFAULT_PROBE_BINARY), help="probe binary")
    exporter.add_argument("--netns", help="network namespace to run the probes in")
    exporter.set_defaults(handler=export)
    args = parser.parse_args(argv)
    return args.handler(args)


if __name__ == "__main__":
    sys.exit(main())
