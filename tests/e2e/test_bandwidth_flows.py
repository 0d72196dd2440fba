"""The bandwidth engine's train flows on a route whose first router balances flows over two routers (r2 and r2b):
each flow's trains cross one branch, and a slow link on one branch shows in the flows that cross it alone."""

import os

import pytest

from lab import send_udp_flows
from lab.network import MULTIPATH_HASH_FIELDS

BRANCH_LINKS = {"r2": "r1:eth1", "r2b": "r1:eth2"}  # what r1 sends into each branch
TRAIN_PORT = 33434  # flow f's trains go to the port f above it
LOWEST_MBPS = 1.0  # the estimator's lowest figure: a slower link reads as this
SYSCTL = "/proc/sys/net/ipv4"


def set_r1_hash(network, fields, seed):
    network.run("r1", ["sh", "-c", f"echo {fields} > {SYSCTL}/fib_multipath_hash_fields && "
                                   f"echo {seed} > {SYSCTL}/fib_multipath_hash_seed"])


def branch_by_port(network, ports):
    """Which branch (r2 or r2b) r1 sends each destination port's datagrams down, from who answers at hop 2."""
    by_address = {network.hop_addresses(branch=branch)[1]: branch for branch in network.branches}
    answers = send_udp_flows(network, network.server_address, [(40000, port) for port in ports], ttl=2)
    return [by_address[flow_answers[0].address] for flow_answers in answers]


def split_flows_0_and_1(network):
    """Makes r1 hash the destination port alone, with a seed that sends flow 0 (bw_estimate's path, every sweep)
    and flow 1 (the second sweep's other flow) down different branches: the trains' source port is the engine's
    own choice, so with every field hashed which branch a flow takes could only be read after the fact, and the
    second sweep's flow would cross flow 0's branch in every other run. Returns flow 1's branch."""
    for seed in range(1, 65):
        set_r1_hash(network, "0x0020", seed)
        flow_0, flow_1 = branch_by_port(network, [TRAIN_PORT, TRAIN_PORT + 1])
        if flow_0 != flow_1:
            return flow_1
    pytest.fail("no seed of 64 sent the two flows down different branches")


@pytest.mark.slow
def test_the_flow_that_crosses_a_slow_branch_flags_it_and_flow_0_on_the_other_does_not(balanced_network,
                                                                                        start_probe):
    if not os.path.exists(f"{SYSCTL}/fib_multipath_hash_seed"):
        pytest.skip("this kernel cannot seed the multipath hash (Linux 6.11 and later can)")
    network = balanced_network
    slow = split_flows_0_and_1(network)
    fast = next(branch for branch in network.branches if branch != slow)
    network.set_bottleneck(BRANCH_LINKS[slow], "500kbit")
    try:
        probe = start_probe(netns=network.namespace("client"))
        probe.handshake()
        probe.start_engine("bw", network.server_address)
        # The first sweep is flow 0's; the second (55 s on) measures flow 1 beside it.
        last, events = probe.wait_for(lambda e: e["type"] == "flow_bw" and e["flow"] == 1 and e["hop"] == 3,
                                      timeout=75)
        events.append(last)
    finally:
        network.set_bottleneck(BRANCH_LINKS[slow], None)
        set_r1_hash(network, MULTIPATH_HASH_FIELDS, 0)

    flows = {(e["flow"], e["hop"]): e for e in events if e["type"] == "flow_bw"}
    assert {flow for flow, _ in flows} == {0, 1}, "flow 0 in each sweep, flow 1 in the second"
    crossing, beside = flows[(1, 2)], flows[(0, 2)]
    print(f"hop 2 via {slow} (500 kbit/s): {crossing}\nhop 2 via {fast}: {beside}")
    assert crossing["addr"] == network.hop_addresses(branch=slow)[1]
    assert beside["addr"] == network.hop_addresses(branch=fast)[1]
    assert crossing["bottleneck"] and crossing["mbps"] == LOWEST_MBPS, \
        "500 kbit/s reads as the estimator's lowest figure, flagged against the flow's own first hop"
    assert crossing["sample_count"] == 2 and crossing["baseline_mbps"] > 1.5
    assert not beside["bottleneck"] and beside["mbps"] > 2.0
    assert not flows[(1, 3)]["bottleneck"], "the link behind r2b is as fast as the trains"
    estimates = [e for e in events if e["type"] == "bw_estimate" and e["hop"] == 2]
    assert estimates and all(e["addr"] == beside["addr"] and not e["bottleneck"] for e in estimates), \
        "bw_estimate keeps flow 0's path"
