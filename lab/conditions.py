"""The conditions of the test network's links and nodes: loss, rate caps, delays, slow or missing answers,
ICMP rate limits, packet counters and loss ramps. A mixin of TestNetwork, which gives it `nodes`, `links`, `run`
and `popen`; the state it keeps is made by `_init_conditions` and ended by `_end_conditions`."""

from __future__ import annotations

import json
import os
import secrets
import shlex
import subprocess
import threading
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Optional, Sequence

NFT_TABLE = "tarnvale_lab"
# Delays and slow answers go through a netfilter queue, which the kernel's nftables cannot feed here: each
# family's iptables does.
IPTABLES = ("iptables", "ip6tables")
# The netfilter-queue delayer built with the probe (lab/link_delayer.cpp).
LINK_DELAYER = os.environ.get("TARNVALE_LINK_DELAYER",
                              str(Path(__file__).resolve().parents[1] / "build" / "tarnvale_link_delayer"))


class NetworkError(Exception):
    """A command that builds or changes the network failed."""


@dataclass(frozen=True)
class Link:
    """The sending side of a link: packets leaving `node` through `interface`."""

    node: str
    interface: str

    @classmethod
    def parse(cls, text: str) -> "Link":
        node, _, interface = text.partition(":")
        if not node or interface not in ARRIVAL_QUEUES:
            raise ValueError(f"a link is NODE:eth0, NODE:eth1 or NODE:eth2, not {text!r}")
        return cls(node, interface)

    def __str__(self) -> str:
        return f"{self.node}:{self.interface}"


def run(command: Sequence[str], input_text: Optional[str] = None) -> str:
    result = subprocess.run(command, input=input_text, capture_output=True, text=True)
    if result.returncode != 0:
        raise NetworkError(f"{shlex.join(command)} failed ({result.returncode}): {result.stderr.strip()}")
    return result.stdout


class PathConditions:
    def _init_conditions(self) -> None:
        self._loss: dict[Link, float] = {}
        self._delayers: dict[Link, subprocess.Popen] = {}
        self._answer_delayers: dict[str, subprocess.Popen] = {}
        self._ramps: list[_Ramp] = []
        self._lock = threading.Lock()

    def _end_conditions(self) -> None:
        """Stops ramps and delayers (a process inside a namespace keeps it alive after `ip netns del`)."""
        for ramp in self._ramps:
            ramp.stop()
        self._ramps.clear()
        for delayer in [*self._delayers.values(), *self._answer_delayers.values()]:
            _stop_process(delayer)
        self._delayers.clear()
        self._answer_delayers.clear()

    def peer(self, link: Link) -> Link:
        """The other end of a link: the node and interface where what `link` sends arrives."""
        for near_client, near_server in self.links():
            if link == near_client:
                return near_server
            if link == near_server:
                return near_client
        raise ValueError(f"{link} leads nowhere: no link of this network leaves {link.node} by {link.interface}")

    def set_loss(self, link: Link | str, percent: float) -> None:
        """Drops `percent` % of the packets that `link.node` sends through `link.interface` (0 removes it)."""
        link = Link.parse(link) if isinstance(link, str) else link
        if not 0 <= percent <= 100:
            raise ValueError("loss is a percentage from 0 to 100")
        receiver = self.peer(link)
        with self._lock:
            if percent == 0:
                self._loss.pop(link, None)
            else:
                self._loss[link] = percent
            rules = [f"flush chain inet {NFT_TABLE} wire_loss"]
            for other, value in sorted(self._loss.items(), key=lambda item: str(item[0])):
                arriving = self.peer(other)
                if arriving.node == receiver.node:
                    # Hundredths of a percent, so that a slow ramp changes in small steps.
                    threshold = round(value * 100)
                    condition = "" if threshold >= 10000 else f"numgen random mod 10000 < {threshold} "
                    rules.append(f'add rule inet {NFT_TABLE} wire_loss iifname "{arriving.interface}" '
                                 f"{condition}drop")
            run(self.command(receiver.node, ["nft", "-f", "-"]), input_text="\n".join(rules) + "\n")

    def loss(self, link: Link | str) -> float:
        link = Link.parse(link) if isinstance(link, str) else link
        with self._lock:
            return self._loss.get(link, 0.0)

    def set_bottleneck(self, link: Link | str, rate: Optional[str], burst: str = "1600",
                       latency: str = "100ms") -> None:
        """Caps the rate of packets leaving `link` with a token bucket (`rate` such as "500kbit");
        None removes the cap."""
        link = Link.parse(link) if isinstance(link, str) else link
        if rate is None:
            self.run(link.node, ["tc", "qdisc", "del", "dev", link.interface, "root"], check=False)
            return
        self.run(link.node, ["tc", "qdisc", "replace", "dev", link.interface, "root", "tbf", "rate", rate,
                             "burst", burst, "latency", latency])

    def set_delay(self, link: Link | str, milliseconds: int) -> None:
        """Holds every packet that `link.node` sends through `link.interface` for `milliseconds` before it
        arrives (0 removes the delay). A delayer process in the receiving node holds them, fed by a netfilter
        queue after the link's loss, so a lost packet is never delayed. (This kernel has no netem.)"""
        link = Link.parse(link) if isinstance(link, str) else link
        if not 0 <= milliseconds <= 60000:
            raise ValueError("a delay is from 0 to 60000 ms")
        receiver = self.peer(link)
        with self._lock:
            previous = self._delayers.pop(link, None)
            if previous:
                # The rule goes before its delayer, so that no packet meets a queue nobody reads.
                self._write_delay_rules(receiver.node)
                _stop_process(previous)
            if milliseconds == 0:
                return
            self._delayers[link] = self._start_delayer(receiver.node, _queue_of(receiver), str(milliseconds))
            self._write_delay_rules(receiver.node)

    def set_answer_delay(self, node: str, lowest_ms: int, highest_ms: int) -> None:
        """Makes `node` hold each ICMP message it sends itself (its answers to probes and pings) for a time drawn
        at random from lowest_ms to highest_ms, as a router that answers on a slow path does, while it forwards
        every packet at once; 0 and 0 remove it."""
        if not 0 <= lowest_ms <= highest_ms <= 60000:
            raise ValueError("an answer delay is a range of 0 to 60000 ms")
        self.namespace(node)
        with self._lock:
            previous = self._answer_delayers.pop(node, None)
            if previous:
                for tables in IPTABLES:
                    self.run(node, [tables, "-t", "mangle", "-F", "OUTPUT"])
                _stop_process(previous)
            if highest_ms == 0:
                return
            self._answer_delayers[node] = self._start_delayer(node, ANSWER_QUEUE, f"{lowest_ms}-{highest_ms}")
            for tables, icmp in zip(IPTABLES, ("icmp", "ipv6-icmp")):
                self.run(node, [tables, "-t", "mangle", "-A", "OUTPUT", "-p", icmp, "-j", "NFQUEUE",
                                "--queue-num", str(ANSWER_QUEUE), "--queue-bypass"])

    def _start_delayer(self, node: str, queue: int, delay: str) -> subprocess.Popen:
        if not os.access(LINK_DELAYER, os.X_OK):
            raise NetworkError(f"the link delayer {LINK_DELAYER} is not built (scripts/build.sh builds it)")
        delayer = self.popen(node, [LINK_DELAYER, str(queue), delay],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        if delayer.stdout.readline().strip() != "ready":
            _stop_process(delayer)
            raise NetworkError(f"the delayer of queue {queue} on {node} did not start: {delayer.stderr.read().strip()}")
        return delayer

    def _write_delay_rules(self, node: str) -> None:
        """Feeds each delayed link arriving at `node` to its delayer's queue. The kernel's nftables lack the
        queue statement; iptables' NFQUEUE target in the mangle table (after the loss chain) does it."""
        script = [f"{tables} -t mangle -F PREROUTING" for tables in IPTABLES]
        for link in self._delayers:
            arriving = self.peer(link)
            if arriving.node == node:
                script += [f"{tables} -t mangle -A PREROUTING -i {arriving.interface} "
                           f"-j NFQUEUE --queue-num {_queue_of(arriving)} --queue-bypass" for tables in IPTABLES]
        self.run(node, ["sh", "-ec", "; ".join(script)])

    def set_answer_loss(self, node: str, percent: float, kinds: Sequence[str] = ("time-exceeded",)) -> None:
        """Makes `node` withhold `percent` % of its own ICMP and ICMPv6 answers of the given `kinds`, each answer
        drawn on its own, while it forwards every packet as before: "time-exceeded" (the default), as a router
        that rate-limits or de-prioritises them does; "port-unreachable" (its answers to probes that reach it)
        and "echo-reply", as a target that answers only some of them does. A call replaces the node's previous
        setting, so 0 removes every kind."""
        if not kinds or not set(kinds) <= set(ANSWER_KINDS):
            raise ValueError(f"the answers withheld are some of {', '.join(ANSWER_KINDS)}, not {list(kinds)}")
        if not 0 <= percent <= 100:
            raise ValueError("answer loss is a percentage from 0 to 100")
        self.namespace(node)
        rules = [f"flush chain inet {NFT_TABLE} own_answers"]
        if percent > 0:
            threshold = round(percent * 100)
            condition = "" if threshold >= 10000 else f"numgen random mod 10000 < {threshold} "
            rules += [f"add rule inet {NFT_TABLE} own_answers {match} {condition}drop"
                      for kind in kinds for match in ANSWER_KINDS[kind]]
        run(self.command(node, ["nft", "-f", "-"]), input_text="\n".join(rules) + "\n")

    def set_icmp_rate_limit(self, node: str, enabled: bool) -> None:
        """Turns the kernel's ICMP and ICMPv6 error rate limits on (the defaults real hosts have) or off for one
        node."""
        values = {"ipv4/icmp_ratelimit": 1000, "ipv4/icmp_msgs_per_sec": 1000, "ipv4/icmp_msgs_burst": 50,
                  "ipv6/icmp/ratelimit": 1000} if enabled else \
            {"ipv4/icmp_ratelimit": 0, "ipv4/icmp_msgs_per_sec": 100000, "ipv4/icmp_msgs_burst": 10000,
             "ipv6/icmp/ratelimit": 0}
        script = "; ".join(f"echo {value} > /proc/sys/net/{name}" for name, value in values.items())
        self.run(node, ["sh", "-ec", script])

    def count_packets(self, node: str, match: str) -> "PacketCounter":
        """Starts counting the packets arriving at `node` that an nftables match selects,
        for example 'iifname "eth0" ip saddr 192.168.1.10'."""
        name = f"c{secrets.token_hex(3)}"
        script = (f"add counter inet {NFT_TABLE} {name}\n"
                  f"add rule inet {NFT_TABLE} ingress {match} counter name {name}\n")
        run(self.command(node, ["nft", "-f", "-"]), input_text=script)
        return PacketCounter(self, node, name)

    def ramp_loss(self, link: Link | str, start: float, end: float, seconds: float,
                  step: float = 1.0) -> "_Ramp":
        """Changes the loss on `link` from `start` to `end` % evenly over `seconds`, in the background.
        The ramp ends by itself, with `stop()`, or when the network goes down."""
        link = Link.parse(link) if isinstance(link, str) else link
        ramp = _Ramp(self, link, start, end, seconds, step)
        self._ramps.append(ramp)
        ramp.start()
        return ramp


# The answers set_answer_loss may withhold: each kind's nftables matches, IPv4's and IPv6's.
ANSWER_KINDS = {
    "time-exceeded": ("icmp type time-exceeded", "icmpv6 type time-exceeded"),
    "port-unreachable": ("icmp type destination-unreachable icmp code port-unreachable",
                         "icmpv6 type destination-unreachable icmpv6 code port-unreachable"),
    "echo-reply": ("icmp type echo-reply", "icmpv6 type echo-reply"),
}

# The netfilter queues of a node's delayed arrivals, one per interface, and of its own ICMP messages.
ARRIVAL_QUEUES = {"eth0": 0, "eth1": 1, "eth2": 3}
ANSWER_QUEUE = 2


def _queue_of(arriving: Link) -> int:
    """The netfilter queue of a node's delayed arrivals through one interface."""
    return ARRIVAL_QUEUES[arriving.interface]


def _stop_process(process: subprocess.Popen) -> None:
    process.terminate()
    try:
        process.communicate(timeout=5)
    except subprocess.TimeoutExpired:
        process.kill()
        process.communicate()


class PacketCounter:
    """An nftables counter in one node; `packets()` reads it."""

    def __init__(self, network: PathConditions, node: str, name: str):
        self.network, self.node, self.name = network, node, name

    def packets(self) -> int:
        output = self.network.run(self.node, ["nft", "-j", "list", "counter", "inet", NFT_TABLE, self.name]).stdout
        for entry in json.loads(output)["nftables"]:
            if "counter" in entry:
                return int(entry["counter"]["packets"])
        raise NetworkError(f"counter {self.name} not found in {self.node}")


class _Ramp(threading.Thread):
    def __init__(self, network: PathConditions, link: Link, start: float, end: float, seconds: float, step: float):
        super().__init__(daemon=True, name=f"ramp {link}")
        self.network, self.link = network, link
        self.start_pct, self.end_pct, self.seconds, self.step = start, end, seconds, step
        self._stopped = threading.Event()
        self.error: Optional[BaseException] = None

    def run(self) -> None:
        began = time.monotonic()
        try:
            while not self._stopped.is_set():
                fraction = min(1.0, (time.monotonic() - began) / self.seconds) if self.seconds > 0 else 1.0
                self.network.set_loss(self.link, self.start_pct + (self.end_pct - self.start_pct) * fraction)
                if fraction >= 1.0:
                    return
                self._stopped.wait(self.step)
        except BaseException as error:  # reported to whoever waits on the ramp
            self.error = error

    def stop(self) -> None:
        self._stopped.set()
        if self.is_alive() and threading.current_thread() is not self:
            self.join()
