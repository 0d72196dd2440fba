"""Command line of the tarnvale client: `tarnvale watch`, `tarnvale report`, `tarnvale export`,
`tarnvale fleet`, `tarnvale session`."""

import argparse
import json
import sys

from .client import DEFAULT_PROBE_BINARY, Probe, ProbeError
from .fleet import fleet
from .report import report
from .watch import watch

DEFAULT_LISTEN = "127.0.0.1:9477"


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


# The modules only the exporter needs (bcrypt only with --web.config.file), with their Debian packages: the other
# commands run without them.
EXPORT_MODULES = {"prometheus_client": "python3-prometheus-client", "yaml": "python3-yaml", "bcrypt": "python3-bcrypt"}


def export(args) -> int:
    try:
        from .export import export as serve
        return serve(args)
    except ModuleNotFoundError as missing:
        module = (missing.name or "").partition(".")[0]
        if module not in EXPORT_MODULES:
            raise
        print(f"tarnvale: export needs {module} (Debian: apt install {EXPORT_MODULES[module]})", file=sys.stderr)
        return 1


def probe_options() -> argparse.ArgumentParser:
    """The options of every command that starts probes."""
    options = argparse.ArgumentParser(add_help=False)
    options.add_argument("--probe", default=str(DEFAULT_PROBE_BINARY), help="probe binary")
    options.add_argument("--netns", help="network namespace to run the probe in")
    return options


def engine_options(default: str) -> argparse.ArgumentParser:
    """--engines, whose default differs between commands; a parent of its own for each, since a parent's
    options are shared by the commands that take it."""
    options = argparse.ArgumentParser(add_help=False)
    options.add_argument("--engines", default=default, help=f"comma-separated engines to start (default: {default})")
    return options


def command_line() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="tarnvale", description="Client of tarnvale_probe.")
    commands = parser.add_subparsers(dest="command", required=True)
    probes = probe_options()
    run = commands.add_parser("session", parents=[probes, engine_options("capture")],
                              help="start the probe and print its events")
    run.add_argument("target", help="address or host name to measure")
    run.add_argument("--duration", type=float, default=5.0, help="seconds to listen")
    run.set_defaults(handler=session)

    every_engine = engine_options("hop,bw,attr")
    live = commands.add_parser("watch", parents=[probes, every_engine],
                               help="measure the path to TARGET and show it live")
    live.add_argument("target", help="address or host name to measure")
    live.add_argument("--duration", type=float, help="end cleanly after this many seconds")
    live.add_argument("--json", action="store_true", help="print the raw events as JSON lines instead of the view")
    live.add_argument("--record", metavar="FILE", help="keep every event with its arrival time in FILE")
    live.set_defaults(handler=watch)

    chart = commands.add_parser("report", help="draw a recording as a PNG chart")
    chart.add_argument("recording", help="a file written by watch --record")
    chart.add_argument("--output", help="the PNG to write (default: the recording's name with .png)")
    chart.set_defaults(handler=report)

    exporter = commands.add_parser("export", parents=[probes, every_engine],
                                   help="keep probes running and serve their figures to Prometheus")
    exporter.add_argument("targets", nargs="*", metavar="TARGET",
                          help="addresses or host names to measure (with or instead of --config)")
    exporter.add_argument("--listen", default=DEFAULT_LISTEN, help=f"ADDR:PORT to serve /metrics on ({DEFAULT_LISTEN})")
    exporter.add_argument("--config", metavar="FILE",
                          help="YAML file of targets with their engines and labels; read again on SIGHUP and "
                               "POST /-/reload")
    exporter.add_argument("--web.config.file", dest="web_config_file", metavar="FILE",
                          help="TLS and basic auth in the Prometheus exporter toolkit's web config format")
    exporter.set_defaults(handler=export)

    fleet_check = commands.add_parser("fleet", help="ask Prometheus where the loss of several hosts' paths begins")
    fleet_check.add_argument("--prometheus", required=True, metavar="URL",
                             help="the Prometheus that scrapes the hosts' exporters, e.g. http://prometheus:9090")
    fleet_check.add_argument("--window", default="10m", help="PromQL duration to measure the loss over (10m)")
    fleet_check.add_argument("--min-hosts", type=at_least_one, default=2,
                             help="hosts whose loss begins at one router for it to be named (2)")
    fleet_check.add_argument("--json", action="store_true", help="print the findings as JSON, for scripts")
    fleet_check.set_defaults(handler=fleet)
    return parser


def at_least_one(text: str) -> int:
    if not text.isdigit() or int(text) < 1:
        raise argparse.ArgumentTypeError(f"a count of 1 or more, not {text!r}")
    return int(text)


def main(argv=None) -> int:
    args = command_line().parse_args(argv)
    return args.handler(args)


if __name__ == "__main__":
    sys.exit(main())
