"""The hop engine on a route whose first router balances flows over two routers (r2 and r2b) by a hash of addresses,
protocol and ports: each probe flow keeps to one branch, the hop table (flow 0's path) keeps one router per hop, and
a loss on one branch shows in the flows that take it and is located on it."""

import statistics
import time

import pytest
from probe_helpers import last_is, read_events

INTERVAL_MS = 1000
# The paths take turns and a path's flows take turns within it: 40 s give each of the 8 flows a few answers at
# every hop.
LEARNING_S = 40
FLOWS = 8
BRANCH_LINK = "r1:eth2"  # into r2b


def start_hop_engine(network, start_probe, target):
    probe = start_probe(netns=network.namespace("client"))
    probe.handshake()
    probe.send({"cmd": "start_engine", "engine": "hop", "target": target, "interval_ms": INTERVAL_MS})
    assert probe.next_event() == {"type": "ack", "cmd": "start_engine", "ok": True}
    return probe


def routers_by_flow(events, last_hop):
    """{flow: {hop: set of addresses}} from the flow_loss events, up to `last_hop`."""
    met = {}
    for event in events:
        if event["type"] == "flow_loss" and event["hop"] <= last_hop:
            met.setdefault(event["flow"], {}).setdefault(event["hop"], set()).add(event["addr"])
    return met


@pytest.mark.slow
@pytest.mark.parametrize("family", ["ipv4", "ipv6"])
def test_each_flow_keeps_one_branch_and_a_quiet_balanced_route_shows_no_loss(balanced_network, start_probe, family):
    network = balanced_network
    ipv6 = family == "ipv6"
    target = network.server_address_v6 if ipv6 else network.server_address
    branches = {branch: (network.hop_addresses_v6(branch=branch) if ipv6 else
                         network.hop_addresses(branch=branch)) for branch in network.branches}
    probe = start_hop_engine(network, start_probe, target)
    events = read_events(probe, LEARNING_S + 8)

    met = routers_by_flow(events, 4)
    assert sorted(met) == list(range(FLOWS)), met
    for flow, hops in met.items():
        assert sorted(hops) == [1, 2, 3, 4], (flow, hops)
        path = [next(iter(hops[hop])) for hop in (1, 2, 3, 4)]
        assert all(len(hops[hop]) == 1 for hop in hops), f"flow {flow} met several routers at a hop: {hops}"
        assert path in branches.values(), f"flow {flow} took no branch of the route: {path}"
    table = {}
    for event in events:
        if event["type"] == "hop_loss":
            table.setdefault(event["hop"], set()).add(event["addr"])
    assert table == {hop: {addr} for hop, addr in enumerate(branches["r2"] if branches["r2"][1] in table.get(2, ())
                                                             else branches["r2b"], 1)}, \
        "the hop table keeps flow 0's routers"
    assert [e for e in events if e["type"] == "flow_loss" and e["loss_pct"] > 0] == []
    assert [e for e in events if e["type"] in ("hop_loss",) and e["loss_pct"] > 0] == []
    assert [e for e in events if e["type"] in ("degradation", "route_change")] == []


# Statistical (which flows take the lossy path, and when the evidence tells): the simulation's balanced-route
# scenarios check it over a thousand runs; this records one run in the test network.
@pytest.mark.daily
@pytest.mark.parametrize("family", ["ipv4", "ipv6"])
def test_loss_on_one_branch_shows_in_its_flows_alone_and_is_located_on_it(balanced_network, start_probe, family):
    network = balanced_network
    ipv6 = family == "ipv6"
    lossy = network.hop_addresses_v6(branch="r2b") if ipv6 else network.hop_addresses(branch="r2b")
    target = network.server_address_v6 if ipv6 else network.server_address
    # The flows' ports are fixed but their source port is the engine's own: a probe started again hashes anew.
    for _ in range(4):
        probe = start_hop_engine(network, start_probe, target)
        learned = read_events(probe, LEARNING_S)
        met = routers_by_flow(learned, 2)
        through_lossy = {flow for flow, hops in met.items() if hops.get(2) == {lossy[1]}}
        if through_lossy and len(met) == FLOWS:
            break
        probe.close()
    else:
        pytest.fail("no probe's flows took r2b in four starts")

    network.set_loss(BRANCH_LINK, 20)
    began = time.monotonic()
    try:
        events = read_events(probe, 240, until=last_is("degradation"))
        elapsed = time.monotonic() - began
        # Long enough for most of the lossy flows' last 20 probes at the target to be under the loss.
        events += read_events(probe, 40)
    finally:
        network.set_loss(BRANCH_LINK, 0)

    degradations = [e for e in events if e["type"] == "degradation"]
    assert degradations, f"no degradation in {elapsed:.0f} s of 20 % loss into r2b"
    assert degradations[0]["affected_hop"] == 2, degradations
    assert f"through {lossy[1]}" in degradations[0]["cause_detail"], degradations[0]
    at_target = {}
    for event in events:
        if event["type"] == "flow_loss" and event["hop"] == 4:
            at_target.setdefault(event["flow"], []).append(event["loss_pct"])
    lossy_reading = statistics.mean(loss for flow in through_lossy for loss in at_target[flow][-5:])
    assert 5 <= lossy_reading <= 40, {flow: at_target[flow] for flow in through_lossy}
    for flow, losses in at_target.items():
        if flow not in through_lossy:
            assert max(losses) == 0, (flow, losses)
    print(f"degradation after {elapsed:.0f} s: {degradations[0]['cause_detail']}")
