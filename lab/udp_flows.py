"""UDP datagrams sent from inside a test network node, each flow's by its own source and destination port, with
the ICMP error that answers each: a router's Time Exceeded where the TTL runs out, the server's Port Unreachable
at the end. On a balanced network this tells which branch a flow takes (its hop 2) and whether it got through.

`send_udp_flows` runs this file as a script inside the node's namespace; the script reads its orders as JSON on
standard input and prints the answers as JSON.
"""

from __future__ import annotations

import errno
import ipaddress
import json
import select
import socket
import struct
import sys
import time
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Optional, Sequence

if TYPE_CHECKING:
    from .network import TestNetwork

# Linux's error-queue options (the socket module lacks IPv4's) and the offender's place in the message.
IP_RECVERR = 11
IPV6_RECVERR = 25
EXTENDED_ERROR = struct.Struct("=IBBBBII")  # struct sock_extended_err; the offender's sockaddr follows
# What an ICMP error left pending makes of the next send: Time Exceeded, Port Unreachable, other unreachables.
ICMP_ERRORS = (errno.EHOSTUNREACH, errno.ECONNREFUSED, errno.ENETUNREACH)


@dataclass(frozen=True)
class DatagramAnswer:
    """Who answered one datagram (None: nobody within the wait) and after how long."""

    address: Optional[str]
    round_trip_ms: Optional[float]


def send_udp_flows(network: "TestNetwork", destination: str, flows: Sequence[tuple[int, int]], count: int = 1,
                   ttl: int = 64, node: str = "client", wait: float = 1.0) -> list[list[DatagramAnswer]]:
    """Sends `count` datagrams of each flow (source port, destination port) from `node` to `destination`, one
    round of all flows after another, and returns each flow's answers in the order sent. Each flow sends from a
    connected socket of its own, as most programs do; a later call opens new ones. A datagram unanswered
    `wait` seconds after the last one was sent counts as lost."""
    from .conditions import run  # here, since the file also runs as a script, outside the package

    orders = {"destination": destination, "flows": [list(flow) for flow in flows], "count": count, "ttl": ttl,
              "wait": wait}
    output = run(network.command(node, [sys.executable, str(Path(__file__).resolve())]), json.dumps(orders))
    return [[DatagramAnswer(**answer) for answer in answers] for answers in json.loads(output)]


def _open_socket(family: int, flow: tuple[int, int], destination: str, ttl: int) -> socket.socket:
    source_port, destination_port = flow
    sock = socket.socket(family, socket.SOCK_DGRAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)  # flows may share a source port
    sock.bind(("", source_port))
    if family == socket.AF_INET:
        sock.setsockopt(socket.IPPROTO_IP, socket.IP_TTL, ttl)
        sock.setsockopt(socket.IPPROTO_IP, IP_RECVERR, 1)
    else:
        sock.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_UNICAST_HOPS, ttl)
        sock.setsockopt(socket.IPPROTO_IPV6, IPV6_RECVERR, 1)
    sock.connect((destination, destination_port))
    sock.setblocking(False)
    return sock


def _send(sock: socket.socket, payload: bytes) -> None:
    """Sends one datagram. An ICMP error to an earlier one is also left pending on the socket, and the next send
    fails with it instead of sending (and clears it): the error queue has it already, so send again."""
    for _ in range(3):
        try:
            sock.send(payload)
            return
        except OSError as error:
            if error.errno not in ICMP_ERRORS:
                raise
    sock.send(payload)  # the same error again is this send's own: let it be raised


def _offender(ancillary: list[tuple[int, int, bytes]]) -> Optional[str]:
    """The address of the node that sent the ICMP error, from an error-queue message's ancillary data."""
    for level, kind, data in ancillary:
        if (level, kind) == (socket.IPPROTO_IP, IP_RECVERR):
            return socket.inet_ntop(socket.AF_INET, data[EXTENDED_ERROR.size + 4:EXTENDED_ERROR.size + 8])
        if (level, kind) == (socket.IPPROTO_IPV6, IPV6_RECVERR):
            return socket.inet_ntop(socket.AF_INET6, data[EXTENDED_ERROR.size + 8:EXTENDED_ERROR.size + 24])
    return None


def _collect(sockets: dict[int, socket.socket], sent_at: dict[int, float], answers: dict[int, dict],
             deadline: float) -> None:
    """Reads the error queues until every datagram is answered or the deadline passes. A datagram carries its
    own number, which the error quotes back."""
    poller = select.poll()
    by_fd = {sock.fileno(): sock for sock in sockets.values()}
    for fd in by_fd:
        poller.register(fd, select.POLLERR)
    while len(answers) < len(sent_at):
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            return
        for fd, _ in poller.poll(remaining * 1000):
            try:
                payload, ancillary, _, _ = by_fd[fd].recvmsg(64, 512, socket.MSG_ERRQUEUE)
            except BlockingIOError:
                continue
            number = int(payload.decode())
            answers[number] = {"address": _offender(ancillary),
                               "round_trip_ms": (time.monotonic() - sent_at[number]) * 1000}


def main() -> None:
    orders = json.load(sys.stdin)
    destination = orders["destination"]
    family = socket.AF_INET if ipaddress.ip_address(destination).version == 4 else socket.AF_INET6
    flows = [tuple(flow) for flow in orders["flows"]]
    sockets = {index: _open_socket(family, flow, destination, orders["ttl"]) for index, flow in enumerate(flows)}
    sent_at: dict[int, float] = {}
    answers: dict[int, dict] = {}
    try:
        for round_number in range(orders["count"]):
            for index in range(len(flows)):
                number = round_number * len(flows) + index
                sent_at[number] = time.monotonic()
                _send(sockets[index], str(number).encode())
            # Read as the answers come, so that no error queue overflows between rounds.
            _collect(sockets, sent_at, answers, time.monotonic() + 0.001)
        _collect(sockets, sent_at, answers, time.monotonic() + orders["wait"])
    finally:
        for sock in sockets.values():
            sock.close()
    unanswered = {"address": None, "round_trip_ms": None}
    print(json.dumps([[answers.get(round_number * len(flows) + index, unanswered)
                       for round_number in range(orders["count"])] for index in range(len(flows))]))


if __name__ == "__main__":
    main()
