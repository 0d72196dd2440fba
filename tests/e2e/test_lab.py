"""The test network itself, checked with standard tools."""

import ipaddress
import json
import os
import re
import subprocess

import pytest

from lab import Iperf3Flow, NetworkError, TestNetwork, clean_leftovers, send_udp_flows
from lab.network import IPV4, IPV6, list_namespaces, run


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


# ---- the balanced network: r1 spreads flows over r2 and r2b -------------------------------------------------


def server_of(network, version):
    return network.server_address if version == 4 else network.server_address_v6


def path_of(network, version, branch):
    return network.hop_addresses(branch=branch) if version == 4 else network.hop_addresses_v6(branch)


def branches_taken(network, version, flows):
    """The branch each flow takes, named by the router that answers its datagrams at hop 2."""
    branch_at = {path_of(network, version, branch)[1]: branch for branch in network.branches}
    answers = send_udp_flows(network, server_of(network, version), flows, ttl=2)
    return [branch_at[answer.address] for answer, in answers]


@pytest.mark.parametrize("version", [4, 6])
def test_flows_spread_over_both_branches_and_each_keeps_to_one(balanced_network, version):
    network = balanced_network
    client = f"ip saddr {network.client_address}" if version == 4 else f"ip6 saddr {network.client_address_v6}"
    server = server_of(network, version)

    many = [(30000 + i, 20000 + 7 * i) for i in range(64)]
    arriving = {branch: network.count_packets(branch, f'iifname "eth0" {client} udp dport 20000-20441')
                for branch in network.branches}
    answers = send_udp_flows(network, server, many, count=3)
    assert {answer.address for flow in answers for answer in flow} == {server}, "every datagram got through"
    counted = {branch: counter.packets() for branch, counter in arriving.items()}
    assert sum(counted.values()) == 3 * len(many)
    assert all(counted.values()), f"64 flows all took one branch: {counted}"

    # Each flow sends 20 datagrams from five sockets in turn: a flow is its addresses and ports.
    few = [(31000 + i, 21000 + i) for i in range(4)]
    per_flow = {(flow, branch): network.count_packets(
        branch, f'iifname "eth0" {client} udp sport {flow[0]} udp dport {flow[1]}')
        for flow in few for branch in network.branches}
    for _ in range(5):
        send_udp_flows(network, server, few, count=4)
    for flow in few:
        counts = {branch: per_flow[flow, branch].packets() for branch in network.branches}
        assert sorted(counts.values()) == [0, 20], (flow, counts)


@pytest.mark.parametrize("version", [4, 6])
def test_each_flow_meets_the_routers_of_one_branch_at_hops_2_and_3(balanced_network, version):
    network = balanced_network
    assert path_of(network, version, "r2")[0] == path_of(network, version, "r2b")[0]
    assert {path_of(network, version, branch)[3] for branch in network.branches} == {server_of(network, version)}
    flows = [(40000, 33434 + i) for i in range(16)]  # as a traceroute keeping its ports, one per flow
    server = server_of(network, version)
    at_hop = {ttl: send_udp_flows(network, server, flows, count=4, ttl=ttl) for ttl in (2, 3)}
    taken = set()
    for flow, hop_2, hop_3 in zip(flows, at_hop[2], at_hop[3]):
        routers = {answer.address for answer in hop_2}
        branch = next(branch for branch in network.branches if routers == {path_of(network, version, branch)[1]})
        assert {answer.address for answer in hop_3} == {path_of(network, version, branch)[2]}, flow
        taken.add(branch)
    assert taken == set(network.branches), "16 flows all took one branch"


def test_every_address_of_the_balanced_network_answers(balanced_network):
    network = balanced_network
    addresses = []
    for node in network.nodes:
        shown = json.loads(network.run(node, ["ip", "-j", "address", "show", "scope", "global"]).stdout)
        addresses += [entry["local"] for link in shown for entry in link["addr_info"] if "local" in entry]
    assert {"198.51.100.245", "198.51.100.246", "198.51.100.249", "198.51.100.250", "2001:db8:100:fd::1",
            "2001:db8:100:fd::2", "2001:db8:100:fe::1", "2001:db8:100:fe::2"} <= set(addresses)
    for node in ("client", "server", "r2"):
        pings = network.run(node, ["sh", "-c", "for a in " + " ".join(addresses) + "; do "
                                   "ping -n -q -c 1 -W 1 $a >/dev/null || echo $a; done"]).stdout
        assert pings.split() == [], f"unreachable from {node}"


@pytest.mark.parametrize("link", ["r1:eth2", "r2b:eth1"])
def test_loss_on_one_branch_drops_only_the_flows_that_take_it(balanced_network, link):
    network = balanced_network
    flows = [(42000 + i, 22000 + i) for i in range(16)]
    taken = {version: branches_taken(network, version, flows) for version in (4, 6)}
    network.set_loss(link, 100)
    try:
        got_through = {version: [sum(answer.address is not None for answer in answers)
                                 for answers in send_udp_flows(network, server_of(network, version), flows,
                                                               count=3, wait=0.5)]
                       for version in (4, 6)}
    finally:
        network.set_loss(link, 0)
    for version in (4, 6):
        assert set(taken[version]) == {"r2", "r2b"}
        assert got_through[version] == [0 if branch == "r2b" else 3 for branch in taken[version]], version


def test_a_delay_on_one_branch_holds_only_its_flows(balanced_network):
    network = balanced_network
    flows = [(43000 + i, 23000 + i) for i in range(16)]
    taken = {version: branches_taken(network, version, flows) for version in (4, 6)}
    # Both arrive at r3, by eth2 and by eth1: each link its own queue and delayer.
    network.set_delay("r2b:eth1", 20)
    network.set_delay("server:eth0", 10)  # the way back of every flow
    try:
        round_trips = {version: [[answer.round_trip_ms for answer in answers]
                                 for answers in send_udp_flows(network, server_of(network, version), flows,
                                                               count=3)]
                       for version in (4, 6)}
    finally:
        network.set_delay("r2b:eth1", 0)
        network.set_delay("server:eth0", 0)
    for version in (4, 6):
        over = {branch: [ms for ms_of_flow, taken_branch in zip(round_trips[version], taken[version])
                         if taken_branch == branch for ms in ms_of_flow] for branch in network.branches}
        assert over["r2"] and over["r2b"], taken[version]
        assert min(over["r2b"]) >= 30, over
        assert min(over["r2"]) >= 10 and min(over["r2"]) < 30, over


# ---- a second client, whose own router r1b joins r2 ------------------------------------------------------------


def test_a_second_client_shares_the_path_from_r2_on_and_loss_on_its_own_link_is_its_own():
    with TestNetwork(hops=3, second_client=True) as network:
        for version, family in ((4, IPV4), (6, IPV6)):
            trace = network.run("client2", ["traceroute", f"-{version}", "-n", "-q", "1", "-w", "1",
                                            family.server]).stdout
            hops = [address for _, address in re.findall(r"^\s*(\d+)\s+(\S+)", trace, re.MULTILINE)]
            assert hops == network.client2_hop_addresses(family)
            assert hops[2:] == network.hop_addresses(family)[2:] and hops[1] != network.hop_addresses(family)[1]
        network.set_loss("r1b:eth1", 100)
        try:
            cut = [ping_loss(network, "client2", server, count=3) for server in (IPV4.server, IPV6.server)]
            untouched = [ping_loss(network, "client", server, count=3) for server in (IPV4.server, IPV6.server)]
        finally:
            network.set_loss("r1b:eth1", 0)
        assert (cut, untouched) == ([100, 100], [0, 0])
        assert ping_loss(network, "client2", network.server_address, count=3) == 0


# ---- changes: links going down, the client renumbered, moved to another interface, its routes withdrawn -------


@pytest.fixture(scope="module")
def changing_network():
    """A network of its own for the change knobs, whose every test leaves it working as it found it."""
    with TestNetwork(hops=3) as net:
        yield net


def servers_reached(network):
    """Which of the server's two addresses answer a ping from the client: a path with no route loses them all
    as surely as a cut link."""
    return {server for server in (network.server_address, network.server_address_v6)
            if network.run("client", ["ping", "-n", "-q", "-c", "1", "-W", "1", server], check=False).returncode == 0}


def both_servers_reached(network):
    return all(ping_loss(network, "client", server, count=3) == 0
               for server in (network.server_address, network.server_address_v6))


def client_addresses(network, interface):
    shown = json.loads(network.run("client", ["ip", "-j", "address", "show", "dev", interface, "scope",
                                              "global"]).stdout)
    return {entry["local"] for link in shown for entry in link["addr_info"] if "local" in entry}


def source_towards(network, server):
    """(source address, interface) the client's kernel picks for the server."""
    route = json.loads(network.run("client", ["ip", "-j", "route", "get", server]).stdout)[0]
    return route["prefsrc"], route["dev"]


@pytest.mark.parametrize("link", ["client:eth0", "r2:eth1"])
def test_a_link_taken_down_cuts_the_path_and_comes_back_with_its_routes(changing_network, link):
    network = changing_network
    network.set_link_state(link, up=False)
    try:
        reached_while_down = servers_reached(network)
    finally:
        network.set_link_state(link, up=True)
    assert reached_while_down == set()
    assert both_servers_reached(network)
    assert source_towards(network, network.server_address_v6) == (network.client_address_v6,
                                                                   network.client_side(IPV6).interface), \
        "IPv6 addresses, which the kernel drops with the link, are back"


@pytest.mark.parametrize("version", [4, 6])
def test_a_renewed_address_replaces_the_old_one_and_is_used(changing_network, version):
    network = changing_network
    side = network.client_side(IPV4 if version == 4 else IPV6)
    server = network.server_address if version == 4 else network.server_address_v6
    new = network.renew_client_address(version)
    assert ipaddress.ip_address(new) in side.net and new not in (side.address, side.gateway)
    assert (network.client_address if version == 4 else network.client_address_v6) == new
    shown = client_addresses(network, side.interface)
    assert new in shown and side.address not in shown
    arriving = network.count_packets("server", f"{'ip' if version == 4 else 'ip6'} saddr {new} icmp"
                                     f"{'' if version == 4 else 'v6'} type echo-request")
    assert both_servers_reached(network)
    assert source_towards(network, server) == (new, side.interface)
    assert arriving.packets() == 3


def test_the_client_moves_to_a_new_interface_on_another_subnet_and_back(changing_network):
    network = changing_network
    assert network.swap_client_device() == "eth1"
    interfaces = json.loads(network.run("client", ["ip", "-j", "link", "show"]).stdout)
    assert sorted(link["ifname"] for link in interfaces) == ["eth1", "lo"], "the old interface is deleted"
    assert client_addresses(network, "eth1") == {"192.168.2.10", "2001:db8:2::10"}
    assert (network.client_address, network.client_address_v6) == ("192.168.2.10", "2001:db8:2::10")
    assert both_servers_reached(network)
    assert source_towards(network, network.server_address) == ("192.168.2.10", "eth1")
    trace = network.run("client", ["traceroute", "-n", "-q", "1", "-w", "1", network.server_address]).stdout
    assert [address for _, address in re.findall(r"^\s*(\d+)\s+(\S+)", trace, re.MULTILINE)] == \
        network.hop_addresses() == ["192.168.2.1", "198.51.100.2", "198.51.100.6", "203.0.113.10"]
    assert network.hop_addresses_v6()[0] == "2001:db8:2::1"

    assert network.swap_client_device() == "eth0"
    assert client_addresses(network, "eth0") == {"192.168.1.10", "2001:db8:1::10"}
    assert both_servers_reached(network)
    assert network.hop_addresses()[0] == "192.168.1.1"


def test_withdrawn_default_routes_leave_no_way_out_until_given_back(changing_network):
    network = changing_network
    network.set_client_route(False)
    try:
        unreachable = network.run("client", ["ping", "-n", "-c", "1", "-W", "1", network.server_address],
                                  check=False)
        routes = network.run("client", ["sh", "-c", "ip route show default; ip -6 route show default"]).stdout
    finally:
        network.set_client_route(True)
    assert unreachable.returncode != 0 and "unreachable" in unreachable.stderr.lower(), unreachable
    assert routes == ""
    assert both_servers_reached(network)


def test_a_changed_network_is_removed_whole_and_its_changes_forgotten():
    network = TestNetwork(hops=2)
    with network:
        network.swap_client_device()
        network.renew_client_address(4)
    assert not [n for n in list_namespaces() if n.startswith(network.prefix)]
    assert network.client_address == "192.168.1.10" and network.hop_addresses()[0] == "192.168.1.1"
