"""The test network itself, checked with standard tools."""

import os
import re
import subprocess

import pytest

from lab import Iperf3Flow, NetworkError, TestNetwork, clean_leftovers
from lab.network import list_namespaces, run


def ping_loss(network, node, address, count=200):
    result = network.run(node, ["ping", "-n", "-q", "-c", str(count), "-i", "0.005", "-W", "1", address],
                         check=False)
    match = re.search(r"(\d+) packets transmitted, (\d+) received", result.stdout)
    assert match, result.stdout + result.stderr
    sent, received = int(match.group(1)), int(match.group(2))
    return 100.0 * (sent - received) / sent


def test_every_router_answers_in_order_and_the_server_is_reached(network):
    assert ping_loss(network, "client", network.server_address, count=5) == 0
    trace = network.run("client", ["traceroute", "-n", "-q", "1", "-w", "1", network.server_address]).stdout
    hops = re.findall(r"^\s*(\d+)\s+(\S+)", trace, re.MULTILINE)
    assert [address for _, address in hops] == ["192.168.1.1", "198.51.100.2", "198.51.100.6", "203.0.113.10"]
    assert network.hop_addresses() == ["192.168.1.1", "198.51.100.2", "198.51.100.6", "203.0.113.10"]


def test_the_same_routers_answer_over_ipv6(network):
    assert ping_loss(network, "client", network.server_address_v6, count=5) == 0
    trace = network.run("client", ["traceroute", "-6", "-n", "-q", "1", "-w", "1",
                                   network.server_address_v6]).stdout
    hops = re.findall(r"^\s*(\d+)\s+(\S+)", trace, re.MULTILINE)
    expected = ["2001:db8:1::1", "2001:db8:100:1::2", "2001:db8:100:2::2", "2001:db8:113::10"]
    assert [address for _, address in hops] == expected
    assert network.hop_addresses_v6() == expected


def test_loss_on_a_link_drops_beyond_it_and_nowhere_before(network):
    # 400 pings through 30 % loss: one standard deviation is 2.3 points, so the
    # bounds sit five deviations out and a sound link never strays past them.
    network.set_loss("r2:eth1", 30)
    try:
        before = ping_loss(network, "client", "198.51.100.5")  # r2's far side: does not cross the link
        beyond = ping_loss(network, "client", network.server_address, count=400)
        router_behind = ping_loss(network, "client", "198.51.100.6", count=400)
    finally:
        network.set_loss("r2:eth1", 0)
    assert before == 0
    assert 18 <= beyond <= 42
    assert 18 <= router_behind <= 42
    assert ping_loss(network, "client", network.server_address, count=50) == 0


def test_loss_also_drops_what_the_router_sends_itself(network):
    """A router's own ICMP errors leave through the lossy link too."""
    network.set_loss("r2:eth0", 100)
    try:
        trace = network.run("client", ["traceroute", "-n", "-q", "1", "-w", "0.5", network.server_address]).stdout
    finally:
        network.set_loss("r2:eth0", 0)
    lines = dict(re.findall(r"^\s*(\d+)\s+(\S+)", trace, re.MULTILINE))
    assert lines["1"] == "192.168.1.1"
    assert lines["2"] == "*"


def answers_at(network, ttl, rounds):
    """How many of `rounds` x 10 traceroute probes with this TTL were answered."""
    answered = 0
    for _ in range(rounds):
        trace = network.run("client", ["traceroute", "-n", "-f", str(ttl), "-m", str(ttl), "-q", "10", "-N", "1",
                                       "-z", "0.02", "-w", "0.3", network.server_address], timeout=120)
        answered += len(re.findall(r"\d+\.\d+ ms", trace.stdout))
    return answered


def test_a_router_withholding_answers_still_forwards_everything(network):
    # 100 probes answered at 50 %: one deviation is 5 answers, the bounds five out.
    network.set_answer_loss("r2", 50)
    try:
        answered = answers_at(network, 2, rounds=10)
        beyond = ping_loss(network, "client", network.server_address)
    finally:
        network.set_answer_loss("r2", 0)
    assert 25 <= answered <= 75, answered
    assert beyond == 0
    assert answers_at(network, 2, rounds=1) == 10


def test_a_bottleneck_caps_a_udp_flow(network):
    network.set_bottleneck("r2:eth1", "500kbit")
    try:
        with Iperf3Flow(network, "-u", "-b", "2M", "-t", "4") as flow:
            report = flow.result(timeout=30)
        received_bps = report["end"]["sum"]["bits_per_second"] * (1 - report["end"]["sum"]["lost_percent"] / 100)
    finally:
        network.set_bottleneck("r2:eth1", None)
    assert 450_000 <= received_bps <= 550_000, received_bps


def test_udp_flows_across_a_lossy_link_all_send(network):
    # Each flow's one setup datagram crosses the loss: of eight flows started once, about six would send.
    network.set_loss("r2:eth1", 30)
    try:
        for _ in range(8):
            with Iperf3Flow(network, "-u", "-b", "1M", "-t", "1") as flow:
                report = flow.result(timeout=30)
            assert report["end"]["sum"]["packets"] > 0, report["end"]
    finally:
        network.set_loss("r2:eth1", 0)


def ping_round_trips(network, address, count=10):
    """(min, max) round trip in ms of pings from the client."""
    result = network.run("client", ["ping", "-n", "-q", "-c", str(count), "-i", "0.02", address])
    low, _, high = re.search(r"= ([\d.]+)/([\d.]+)/([\d.]+)", result.stdout).groups()
    return float(low), float(high)


def test_a_delay_holds_packets_crossing_the_link_and_no_others(network):
    network.set_delay("r2:eth1", 20)
    try:
        before = ping_round_trips(network, "198.51.100.5")  # r2's far side: does not cross the link
        beyond = ping_round_trips(network, network.server_address)
        network.set_delay("r3:eth0", 10)  # the way back: both directions add up
        both = ping_round_trips(network, network.server_address)
    finally:
        network.set_delay("r2:eth1", 0)
        network.set_delay("r3:eth0", 0)
    assert before[1] < 20
    assert 20 <= beyond[0] and beyond[1] < 120
    assert 30 <= both[0] and both[1] < 130
    assert ping_round_trips(network, network.server_address)[1] < 20


def test_ramp_moves_the_loss_to_its_end_value(network):
    ramp = network.ramp_loss("r3:eth1", 0, 30, seconds=1.0, step=0.2)
    ramp.join(timeout=5)
    assert ramp.error is None
    assert network.loss("r3:eth1") == 30
    network.set_loss("r3:eth1", 0)
    assert network.loss("r3:eth1") == 0


def test_teardown_leaves_nothing_behind_even_after_a_failure():
    network = TestNetwork(hops=2)
    with pytest.raises(RuntimeError):
        with network:
            network.set_loss("r1:eth1", 10)
            network.set_bottleneck("r2:eth1", "1mbit")
            network.set_delay("r1:eth1", 5)
            assert all(network.namespace(node) in list_namespaces() for node in network.nodes)
            delayers = [int(pid) for pid in run(["ip", "netns", "pids", network.namespace("r2")]).split()]
            assert delayers
            raise RuntimeError("a failing test")
    assert not [pid for pid in delayers if os.path.exists(f"/proc/{pid}")], "a process keeps its namespace alive"
    names = list_namespaces()
    assert not [n for n in names if n.startswith(network.prefix)]
    links = subprocess.run(["ip", "-o", "link"], capture_output=True, text=True).stdout
    assert network.prefix not in links and "eth1@" not in links


def test_a_failed_setup_is_undone():
    network = TestNetwork(hops=2)
    network._node_script = lambda node: ["false"]  # every node fails to configure
    with pytest.raises(NetworkError):
        network.up()
    assert not [n for n in list_namespaces() if n.startswith(network.prefix)]


def test_leftovers_of_ended_runs_are_cleaned_and_live_ones_kept(network):
    ended = subprocess.Popen(["true"])
    ended.wait()
    leftover = TestNetwork(hops=1, prefix=f"tvl{ended.pid}-abcd").up()
    removed = clean_leftovers()
    assert sorted(removed) == sorted(leftover.namespace(n) for n in leftover.nodes)
    assert network.namespace("client") in list_namespaces()
