"""Command line of the test network.

    lab up --hops 3 --loss r2:eth1:20 --bottleneck r2:eth1:500kbit   # prints the network's name
    lab up --balanced --loss r1:eth2:20        # r2b beside r2, and loss on the way r1 -> r2b
    lab loss NAME r2:eth1 30
    lab bottleneck NAME r2:eth1 500kbit        (or "none")
    lab ramp NAME r2:eth1 0 30 180             # runs in the foreground until the ramp ends
    lab delay NAME r2:eth1 20                  # 20 ms more on the link while it runs in the foreground
    lab exec NAME client -- ping -c 3 203.0.113.10
    lab down NAME
    lab clean [--all]                          # removes leftovers of earlier runs
"""

import argparse
import json
import os
import signal
import subprocess
import sys
from pathlib import Path

from .network import Link, NetworkError, TestNetwork, clean_leftovers

STATE_DIR = Path("/run/tarnvale-lab")


def _save(network: TestNetwork) -> None:
    STATE_DIR.mkdir(parents=True, exist_ok=True)
    (STATE_DIR / f"{network.prefix}.json").write_text(json.dumps({"hops": network.hops, "prefix": network.prefix,
                                                                   "balanced": network.balanced}))


def _load(name: str) -> TestNetwork:
    path = STATE_DIR / f"{name}.json"
    if not path.exists():
        raise NetworkError(f"no test network named {name} (see `ip netns list`)")
    state = json.loads(path.read_text())
    return TestNetwork(hops=state["hops"], prefix=state["prefix"], balanced=state.get("balanced", False))


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(prog="lab", description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)
    up = commands.add_parser("up", help="create a network and print its name")
    up.add_argument("--hops", type=int, default=3)
    up.add_argument("--loss", action="append", default=[], metavar="NODE:IFACE:PCT")
    up.add_argument("--bottleneck", action="append", default=[], metavar="NODE:IFACE:RATE")
    up.add_argument("--icmp-rate-limit", action="store_true", help="keep the kernel's ICMP error rate limits")
    up.add_argument("--balanced", action="store_true",
                    help="add r2b beside r2 (r1 eth2 -- r2b -- r3 eth2); r1 balances flows over both by ports")
    loss = commands.add_parser("loss", help="set the loss on a link")
    loss.add_argument("name"), loss.add_argument("link"), loss.add_argument("percent", type=float)
    bottleneck = commands.add_parser("bottleneck", help="cap a link's rate")
    bottleneck.add_argument("name"), bottleneck.add_argument("link"), bottleneck.add_argument("rate")
    ramp = commands.add_parser("ramp", help="ramp the loss on a link")
    ramp.add_argument("name"), ramp.add_argument("link")
    ramp.add_argument("start", type=float), ramp.add_argument("end", type=float)
    ramp.add_argument("seconds", type=float)
    delay = commands.add_parser("delay", help="delay a link's packets until interrupted")
    delay.add_argument("name"), delay.add_argument("link"), delay.add_argument("milliseconds", type=int)
    execute = commands.add_parser("exec", help="run a command in a node's namespace")
    execute.add_argument("name"), execute.add_argument("node"), execute.add_argument("argv", nargs="+")
    down = commands.add_parser("down", help="remove a network")
    down.add_argument("name")
    clean = commands.add_parser("clean", help="remove leftovers of earlier runs")
    clean.add_argument("--all", action="store_true", help="also networks made with `lab up`")
    args = parser.parse_args(argv)

    if os.geteuid() != 0:
        print("lab: root is needed to build network namespaces", file=sys.stderr)
        return 1
    try:
        if args.command == "up":
            network = TestNetwork(hops=args.hops, icmp_rate_limit=args.icmp_rate_limit, persistent=True,
                                  balanced=args.balanced).up()
            _save(network)
            for setting in args.loss:
                link, _, percent = setting.rpartition(":")
                network.set_loss(link, float(percent))
            for setting in args.bottleneck:
                link, _, rate = setting.rpartition(":")
                network.set_bottleneck(link, rate)
            print(network.prefix)
        elif args.command == "loss":
            _load(args.name).set_loss(args.link, args.percent)
        elif args.command == "bottleneck":
            _load(args.name).set_bottleneck(args.link, None if args.rate == "none" else args.rate)
        elif args.command == "ramp":
            _load(args.name).ramp_loss(Link.parse(args.link), args.start, args.end, args.seconds).join()
        elif args.command == "delay":
            network = _load(args.name)
            network.set_delay(args.link, args.milliseconds)
            print(f"{args.link} delayed by {args.milliseconds} ms; Ctrl-C ends the delay", flush=True)
            signal.signal(signal.SIGTERM, signal.default_int_handler)
            try:
                signal.pause()
            except KeyboardInterrupt:
                network.set_delay(args.link, 0)
        elif args.command == "exec":
            return subprocess.call(_load(args.name).command(args.node, args.argv))
        elif args.command == "down":
            _load(args.name).down()
            (STATE_DIR / f"{args.name}.json").unlink()
        elif args.command == "clean":
            for name in clean_leftovers(include_persistent=args.all):
                print(f"removed {name}")
            if args.all and STATE_DIR.exists():
                for state in STATE_DIR.glob("*.json"):
                    state.unlink()
    except (NetworkError, ValueError) as failure:
        print(f"lab: {failure}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
