"""A link filled to its rate in the test network: the standing queue's delay locates it, at any speed."""

import time

import pytest

from lab import Iperf3Flow, TestNetwork

pytestmark = pytest.mark.slow

# The link from r2 to r3 is capped; hop 3 (r3) is behind it, hop 4 is the server.
LOADED_LINK = "r2:eth1"
QUEUE_HOP = 3
QUIET_PATH_SECONDS = 100  # the delay baseline needs 90 s


def latency_when_filled(network, start_probe, engines, flow):
    """Runs the engines on the quiet path, then fills the capped link with `flow` (a function of the network
    that returns an Iperf3Flow): the first latency event, the seconds it took, and every event meanwhile."""
    network.set_bottleneck(LOADED_LINK, "50mbit", burst="64kb", latency="200ms")
    try:
        probe = start_probe(netns=network.namespace("client"))
        probe.handshake()
        for engine in engines:
            probe.start_engine(engine, network.server_address)
        quiet = probe.collect(QUIET_PATH_SECONDS)
        assert not [e for e in quiet if e["type"] == "latency"], "no queue before the link fills"
        with flow(network):
            began = time.monotonic()
            event, before = probe.wait_for(lambda e: e["type"] == "latency", timeout=90)
            took = time.monotonic() - began
            during = before + probe.collect(8)
        after = probe.collect(50)
    finally:
        network.set_bottleneck(LOADED_LINK, None)
    return event, took, during, after


def behind_queue(events):
    return sorted({e["hop"] for e in events if e["type"] == "hop_delay" and e["behind_queue"]})


def test_an_upload_filling_a_fast_link_is_saturation_at_the_hop_behind_it(network, start_probe):
    event, took, during, after = latency_when_filled(
        network, start_probe, ("hop", "attr"), lambda net: Iperf3Flow(net, "-t", "120", port=5341))
    assert (event["affected_hop"], event["cause"]) == (QUEUE_HOP, "saturation"), event
    assert event["addr"] == network.hop_addresses()[QUEUE_HOP - 1]
    assert "your uplink is saturated by: iperf3 (" in event["cause_detail"], event
    assert event["added_ms"] > 50 and event["severity"] in ("medium", "high"), event
    assert took <= 60
    assert behind_queue(during) == [QUEUE_HOP, QUEUE_HOP + 1]
    assert any(e["type"] == "app_traffic" and e["name"] == "iperf3" and e["saturating"] for e in during)
    # Once the upload ends the queue drains and, within a window, no hop is behind one.
    last_cycle = [e for e in after if e["type"] == "hop_delay"][-4:]
    assert behind_queue(last_cycle) == [], last_cycle


@pytest.mark.daily
def test_cross_traffic_filling_the_link_is_congestion_at_the_hop_behind_it(network, start_probe):
    event, took, _, _ = latency_when_filled(
        network, start_probe, ("hop", "attr"),
        lambda net: Iperf3Flow(net, "-t", "120", port=5342, client_node="r1"))
    assert (event["affected_hop"], event["cause"]) == (QUEUE_HOP, "congestion"), event
    assert "No local process is saturating the uplink" in event["cause_detail"]
    assert took <= 60


@pytest.mark.daily
def test_a_quiet_rate_limited_path_with_a_slow_router_shows_no_queue_and_no_bottleneck(start_probe):
    with TestNetwork(hops=3, icmp_rate_limit=True) as network:
        network.set_answer_delay("r2", 20, 50)
        probe = start_probe(netns=network.namespace("client"))
        probe.handshake()
        for engine in ("hop", "bw", "attr"):
            probe.start_engine(engine, network.server_address)
        events = probe.collect(300)
    delays = [e for e in events if e["type"] == "hop_delay"]
    assert {e["hop"] for e in delays} == {1, 2, 3, 4}, "every hop's delay is measured"
    slow = [e["current_ms"] for e in delays if e["hop"] == 2]
    assert min(slow) > 20, "r2's answers wait"
    assert behind_queue(events) == []
    assert [e for e in events if e["type"] == "latency"] == []
    assert [e for e in events if e["type"] == "bw_estimate" and e["bottleneck"]] == []
