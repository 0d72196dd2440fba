"""The hop engine in a three-router test network."""

import statistics
import time

import pytest

from probe_helpers import assert_start_stop_leaves_no_trace, cycles, thread_names

ROUTER_ADDRESSES = ["192.168.1.1", "198.51.100.2", "198.51.100.6"]


def test_hop_loss_reports_every_hop_up_to_the_target_and_none_beyond(probe_in_network, network):
    network.set_delay("r2:eth1", 20)
    try:
        probe = probe_in_network()
        probe.start_engine("hop", network.server_address)
        started = time.monotonic()
        events = probe.collect(22.5)
    finally:
        network.set_delay("r2:eth1", 0)
    reports = cycles(events)
    assert len(reports) == 3, reports
    first_ts = reports[0][0]["ts"]
    assert 6 <= first_ts - int(time.time() - (time.monotonic() - started)) <= 9
    for cycle in reports:
        assert [e["hop"] for e in cycle] == [1, 2, 3, 4], cycle
        assert [e["addr"] for e in cycle] == ROUTER_ADDRESSES + [network.server_address]
        previous = 0.0
        for event in cycle:
            assert event["prev_loss_pct"] == previous
            assert event["is_localized"] == (event["loss_pct"] - previous > 3.0)
            previous = event["loss_pct"]
    assert all(e["loss_pct"] == 0.0 for e in reports[-1])
    near, behind_delay = reports[-1][:2], reports[-1][2:]
    assert all(0 < e["rtt_ms"] < 20 for e in near), near
    assert all(20 <= e["rtt_ms"] < 200 for e in behind_delay), "a 20 ms delay after r2"
    assert reports[1][0]["ts"] - reports[0][0]["ts"] in (7, 8)


@pytest.mark.daily
@pytest.mark.parametrize("family", ["ipv4", "ipv6"])
def test_loss_after_r2_shows_from_hop_3_on(probe_in_network, network, family):
    # One probe per hop every 5 s: four minutes give each hop about 50 outcomes,
    # so the pooled mean of hops 3 and 4 (about 100 outcomes, one standard
    # deviation 4 points) stays within 14 points of the truth in all but one run
    # in several thousand; each hop alone shows loss well clear of zero.
    network.set_loss("r2:eth1", 20)
    try:
        probe = probe_in_network()
        probe.start_engine("hop", network.server_address if family == "ipv4" else network.server_address_v6)
        probe.collect(30)  # the rings fill
        reports = cycles(probe.collect(240))
    finally:
        network.set_loss("r2:eth1", 0)
    assert len(reports) >= 30
    by_hop = {hop: [e for cycle in reports for e in cycle if e["hop"] == hop] for hop in (1, 2, 3, 4)}
    assert all(e["loss_pct"] == 0 for e in by_hop[1] + by_hop[2])
    behind = [e["loss_pct"] for e in by_hop[3] + by_hop[4]]
    assert 6 <= statistics.mean(behind) <= 34, statistics.mean(behind)
    for hop in (3, 4):
        assert 3 <= statistics.mean(e["loss_pct"] for e in by_hop[hop]) <= 45, hop
    localized = sum(e["is_localized"] for e in by_hop[3])
    assert localized > len(by_hop[3]) / 2


def test_a_rate_limited_target_shows_no_loss(probe_in_network, network):
    network.set_icmp_rate_limit("server", True)
    try:
        probe = probe_in_network()
        probe.start_engine("hop", network.server_address)
        reports = cycles(probe.collect(36))
    finally:
        network.set_icmp_rate_limit("server", False)
    server = [e for cycle in reports[1:] for e in cycle if e["addr"] == network.server_address]
    assert len(server) >= 3 and {e["hop"] for e in server} == {4}
    assert all(e["loss_pct"] == 0 for e in server), server


def test_a_target_that_does_not_resolve(probe_in_network):
    probe = probe_in_network()
    probe.start_engine("hop", "tarnvale-no-such-host.invalid")
    error, _ = probe.wait_for(lambda e: e["type"] == "error", timeout=30)
    assert error["engine"] == "hop" and error["code"] == "NO_TARGET" and error["fatal"] is True
    assert error["message"] == "hop engine requires a target IP or hostname"


def test_stopping_the_engine_stops_probes_pings_and_reports(probe_in_network, network):
    probe = probe_in_network()
    probe.start_engine("hop", network.server_address)
    probe.collect(9)
    assert "hop-pinger" in thread_names(probe.process.pid)
    probe.stop_engine("hop")
    probe.collect(1.5)
    counter = network.count_packets("r1", f'iifname "eth0" ip saddr {network.client_address}')
    after_stop = probe.collect(10)
    assert [e for e in after_stop if e["type"] == "hop_loss"] == []
    assert counter.packets() == 0, "no probe or echo request after stop_engine"
    assert_start_stop_leaves_no_trace(probe, "hop", network.server_address, rounds=20)


def test_start_engine_settings_bound_and_pace_the_sweeps(probe_in_network, network):
    probe = probe_in_network()
    probe.send({"cmd": "start_engine", "engine": "hop", "target": network.server_address, "max_hops": 0})
    assert probe.next_event() == {"type": "ack", "cmd": "start_engine", "ok": False,
                                  "error": "max_hops 0 is outside 1 to 64"}
    counter = network.count_packets("r1", f'iifname "eth0" ip saddr {network.client_address} meta l4proto udp')
    probe.send({"cmd": "start_engine", "engine": "hop", "target": network.server_address, "max_hops": 2,
                "interval_ms": 1000})
    events = probe.collect(15)
    assert events[0] == {"type": "ack", "cmd": "start_engine", "ok": True}
    reports = cycles(events)
    assert reports and all([e["hop"] for e in cycle] == [1, 2] for cycle in reports), reports
    # Two probes a second, where the defaults send one probe per hop every 5 s.
    assert counter.packets() >= 20, counter.packets()
