"""The bandwidth engine in a three-router test network."""

import pytest

from probe_helpers import (assert_bottleneck_at_hop_3_only, assert_start_stop_leaves_no_trace, bandwidth_sweeps,
                           rates_judged_unsanitized)


def first_sweep_estimates(probe, network):
    """The estimates of hops 1 to 3 (the routers); hops beyond answer with no Time Exceeded."""
    probe.start_engine("bw", network.server_address)
    estimates = {}
    while len(estimates) < 3:
        event, _ = probe.wait_for(lambda e: e["type"] == "bw_estimate", timeout=30)
        estimates[event["hop"]] = event
    return estimates


def test_estimates_for_every_router_and_no_bottleneck_on_an_even_path(probe_in_network, network):
    estimates = first_sweep_estimates(probe_in_network(), network)
    assert sorted(estimates) == [1, 2, 3]
    for hop, event in estimates.items():
        assert event["addr"] == network.hop_addresses()[hop - 1], "the router that answered the hop's trains"
        assert event["confidence"]["level"] == "medium" and event["confidence"]["sample_count"] == 3
        assert not event["bottleneck"], event
    # Ten 1400-byte packets 5 ms apart: the first hop sees the trains' own rate.
    assert 1.5 < estimates[1]["mbps"] < 3.0
    assert estimates[2]["baseline_mbps"] == estimates[1]["mbps"]


@rates_judged_unsanitized
def test_a_bottleneck_after_r2_is_flagged_at_hop_3_only(probe_in_network, network):
    network.set_bottleneck("r2:eth1", "500kbit")
    try:
        estimates = bandwidth_sweeps(probe_in_network(), network.server_address, sweeps=2)
    finally:
        network.set_bottleneck("r2:eth1", None)
    assert_bottleneck_at_hop_3_only(estimates)


def test_routers_that_rate_limit_their_answers_make_no_false_bottleneck(probe_in_network, network):
    # With the kernel's defaults a router answers a burst and then one packet a
    # second: later trains of a hop get one answer or none, so a hop has either
    # no estimate or one from answers that came through unthrottled.
    routers = ("r1", "r2", "r3")
    for router in routers:
        network.set_icmp_rate_limit(router, True)
    try:
        probe = probe_in_network()
        probe.start_engine("bw", network.server_address)
        estimates = [e for e in probe.collect(12) if e["type"] == "bw_estimate"]
    finally:
        for router in routers:
            network.set_icmp_rate_limit(router, False)
    assert {e["hop"] for e in estimates} <= {1, 2, 3}, estimates
    assert not any(e["bottleneck"] for e in estimates), estimates


def test_the_hop_engines_probes_are_not_taken_for_trains(probe_in_network, network):
    # Its TTL-limited probes go to the trains' destination port, from another
    # source port; the routers' answers to them must not become samples for
    # hops the trains never reached (hop 4 on is the server, which answers no train).
    probe = probe_in_network()
    probe.start_engine("hop", network.server_address)
    probe.start_engine("bw", network.server_address)
    # Two sweeps: a train lives for 60 s, long enough to collect stray answers.
    estimates = [e for e in probe.collect(80) if e["type"] == "bw_estimate"]
    assert {e["hop"] for e in estimates} == {1, 2, 3}, estimates


def test_a_target_that_does_not_resolve(probe_in_network):
    probe = probe_in_network()
    probe.start_engine("bw", "tarnvale-no-such-host.invalid")
    error, _ = probe.wait_for(lambda e: e["type"] == "error", timeout=30)
    assert (error["engine"], error["code"], error["fatal"]) == ("bw", "NO_TARGET", True)
    assert error["message"] == "bandwidth engine requires a target IP or hostname"


def test_stopping_the_engine_ends_its_receiver(probe_in_network, network):
    assert_start_stop_leaves_no_trace(probe_in_network(), "bw", network.server_address, rounds=10)


@pytest.mark.daily
def test_the_bottleneck_holds_over_ten_sweeps(probe_in_network, network):
    # A sweep covers 30 hops with three trains each: ten of them take about nine minutes.
    network.set_bottleneck("r2:eth1", "500kbit")
    try:
        probe = probe_in_network()
        probe.start_engine("bw", network.server_address)
        verdicts = {1: [], 2: [], 3: []}
        while len(verdicts[3]) < 10:
            event, _ = probe.wait_for(lambda e: e["type"] == "bw_estimate", timeout=120)
            verdicts[event["hop"]].append(event["bottleneck"])
    finally:
        network.set_bottleneck("r2:eth1", None)
    assert sum(verdicts[3]) >= 9, verdicts
    assert not any(verdicts[1] + verdicts[2]), verdicts


def test_trains_go_no_further_than_the_target_and_a_sweep_keeps_its_full_period(probe_in_network, network):
    # Train packets are the only 1400-byte ones the client sends, to the flows' ports 33434 to 33441.
    trains = network.count_packets("server",
                                   f"ip saddr {network.client_address} ip length 1400 udp dport 33434-33441")
    beyond = network.count_packets("server", f"ip saddr {network.client_address} ip length 1400 ip ttl > 1")
    probe = probe_in_network()
    probe.start_engine("bw", network.server_address)
    probe.collect(80)
    # A sweep to the target at hop 4 takes 12 trains of 0.55 s, then waits 5 s and the 78 trains beyond it
    # would have taken: the second sweep begins at about 55 s and the third at about 110 s, each sending the
    # target 3 trains of 10 packets (without the wait, six sweeps would have begun in 80 s).
    assert trains.packets() == 60
    assert beyond.packets() == 0, "a train went past the target's distance"
