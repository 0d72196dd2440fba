"""The fleet check's reading of per-hop loss: where each path's loss begins, and which routers several hosts'
loss begins at."""

import socket
import subprocess
import sys
from pathlib import Path

import pytest

CLIENT = Path(__file__).resolve().parents[2] / "client"
sys.path.insert(0, str(CLIENT))
from tarnvale.fleet import Hop, Onset, locate, loss_onset  # noqa: E402


def path(*losses, addrs=None):
    """Hops 1, 2, ... with these losses; router addresses r1, r2, ... unless given."""
    addrs = addrs or [f"r{hop}" for hop in range(1, len(losses) + 1)]
    return {hop: Hop(loss, addr) for hop, (loss, addr) in enumerate(zip(losses, addrs), start=1)}


@pytest.mark.parametrize("hops, onset", [
    (path(0, 0, 0, 0), None),
    (path(0, 0, 0.3, 0.28), 3),
    (path(0.1, 0.12, 0.1), 1),
    (path(0, 0.4, 0, 0), None),  # a router declining to answer: the traffic behind it goes through
    (path(0, 0.4, 0.3, 0.01), None),  # the end of the path loses nothing worth naming
    (path(0.05, 0.01, 0.05, 0.06), 3),  # a hop under the floor between: the loss the end shares begins after it
    (path(0, 0.01, 0.02, 0.02), 3),  # the floor itself counts as loss
    ({1: Hop(0, "a"), 2: Hop(0, "b"), 5: Hop(0.2, "e"), 6: Hop(0.2, "f")}, 5),  # hops that never answered
])
def test_loss_begins_at_the_lowest_hop_whose_loss_every_later_hop_shares(hops, onset):
    assert loss_onset(hops) == onset


def test_hosts_are_grouped_by_the_router_their_loss_begins_at_not_by_the_hop():
    paths = {
        ("a:9477", "t1"): path(0, 0, 0.3, 0.3, addrs=["a1", "x2", "r3", "t1"]),
        ("b:9477", "t1"): path(0, 0.25, 0.3, addrs=["b1", "r3", "t1"]),  # one router nearer: r3 is its hop 2
        ("c:9477", "t2"): path(0, 0, 0.2, 0.2, addrs=["c1", "c2", "c3", "t2"]),  # also at hop 3, another router
        ("d:9477", "t1"): path(0, 0.5, 0, 0, addrs=["d1", "r3", "x3", "t1"]),  # r3 declines, nothing lost behind
    }
    found = locate(paths, min_hosts=2)
    assert found.shared == {"r3": [Onset("a:9477", "t1", 3, "r3", 0.3, 0.3), Onset("b:9477", "t1", 2, "r3", 0.25, 0.3)]}
    assert found.apart == [Onset("c:9477", "t2", 3, "c3", 0.2, 0.2)]
    assert found.without_loss == [("d:9477", "t1")]


def test_a_router_is_named_for_enough_hosts_not_paths():
    one_host_two_targets = {("a:9477", "t1"): path(0, 0.3, 0.3, addrs=["a1", "r2", "t1"]),
                            ("a:9477", "t2"): path(0, 0.3, 0.3, addrs=["a1", "r2", "t2"])}
    found = locate(one_host_two_targets, min_hosts=2)
    assert found.shared == {}
    assert [(onset.target, onset.addr) for onset in found.apart] == [("t1", "r2"), ("t2", "r2")]
    assert list(locate(one_host_two_targets, min_hosts=1).shared) == ["r2"]

    three_hosts = {**one_host_two_targets, ("b:9477", "t1"): path(0.3, 0.3, addrs=["r2", "t1"]),
                   ("c:9477", "t1"): path(0.3, 0.3, addrs=["r2", "t1"])}
    assert list(locate(three_hosts, min_hosts=3).shared) == ["r2"]
    assert locate(three_hosts, min_hosts=4).shared == {}


def test_routers_shared_by_more_hosts_come_first_and_unknown_addresses_join_nobody():
    paths = {(f"h{n}", "t"): path(0, 0.2, addrs=["own", "few"]) for n in range(2)}
    paths |= {(f"h{n}", "u"): path(0.2, 0.2, addrs=["many", "u"]) for n in range(3)}
    paths |= {(f"h{n}", "v"): path(0, 0.2, addrs=["v1", None]) for n in range(2)}
    found = locate(paths, min_hosts=2)
    assert list(found.shared) == ["many", "few"]
    assert [(onset.host, onset.addr) for onset in found.apart] == [("h0", None), ("h1", None)]


def test_an_unreachable_prometheus_is_reported_with_exit_status_2():
    with socket.socket() as closed:
        closed.bind(("127.0.0.1", 0))
        port = closed.getsockname()[1]  # nothing listens once the socket is closed
    for url in (f"http://127.0.0.1:{port}", f"127.0.0.1:{port}"):
        refused = subprocess.run([sys.executable, "-m", "tarnvale", "fleet", "--prometheus", url], cwd=CLIENT,
                                 capture_output=True, text=True, timeout=60)
        assert refused.returncode == 2, refused
        assert refused.stdout == "" and refused.stderr.startswith("tarnvale fleet: ") and "Traceback" not in \
            refused.stderr, refused.stderr
