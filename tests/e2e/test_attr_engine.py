"""The attribution engine in the test network: iperf3 flows named and measured."""

import statistics

from lab import Iperf3Flow
from probe_helpers import assert_start_stop_leaves_no_trace


def attributed(probe, flow, seconds):
    """The app_traffic events that arrive while the flow runs, and iperf3's own report."""
    events = [e for e in probe.collect(seconds) if e["type"] == "app_traffic"]
    return events, flow.result(timeout=30)


def steady(events, pid):
    """The flow's events without the first and last, which cover part of a second only."""
    mine = [e for e in events if e["pid"] == pid]
    assert len(mine) >= 6, events
    return mine[1:-1]


def within(measured, expected, fraction):
    return abs(measured - expected) <= fraction * expected


def test_an_upload_is_named_measured_and_saturating(probe_in_network, network):
    probe = probe_in_network()
    probe.start_engine("attr", "")
    with Iperf3Flow(network, "-u", "-b", "20M", "-t", "10", port=5311) as flow:
        events, report = attributed(probe, flow, 11.5)
        pid = flow.client.pid
    mine = steady(events, pid)
    assert {e["name"] for e in mine} == {"iperf3"}
    sent_mbps = report["end"]["sum"]["bits_per_second"] / 1e6
    upload = statistics.median(e["mbps_up"] for e in mine)
    assert within(upload, sent_mbps, 0.10), (upload, sent_mbps)
    assert all(e["saturating"] and e["mbps_down"] < 0.1 * e["mbps_up"] for e in mine), mine
    assert all(e["loss_share"] == 0.0 for e in mine)
    # Only the flow's own process uploads anything in the client namespace.
    assert {e["pid"] for e in events} == {pid}


def test_a_download_is_measured_as_down(probe_in_network, network):
    probe = probe_in_network()
    probe.start_engine("attr", "")
    with Iperf3Flow(network, "-u", "-b", "20M", "-t", "10", "-R", port=5312) as flow:
        events, report = attributed(probe, flow, 11.5)
        pid = flow.client.pid
    mine = steady(events, pid)
    assert {e["name"] for e in mine} == {"iperf3"}
    received_mbps = report["end"]["sum"]["bits_per_second"] * (1 - report["end"]["sum"]["lost_percent"] / 100) / 1e6
    download = statistics.median(e["mbps_down"] for e in mine)
    assert within(download, received_mbps, 0.10), (download, received_mbps)
    assert not any(e["saturating"] for e in mine)


def test_traffic_between_private_addresses_is_not_counted(probe_in_network, network):
    probe = probe_in_network()
    probe.start_engine("attr", "")
    # r1's client-side address is private like the client's own.
    with Iperf3Flow(network, "-u", "-b", "10M", "-t", "4", server_node="r1", address="192.168.1.1",
                    port=5313) as flow:
        events, report = attributed(probe, flow, 5)
    assert report["end"]["sum"]["bytes"] > 4_000_000
    assert [e for e in events if e["type"] == "app_traffic"] == []


def test_stopping_the_engine_ends_its_accumulator(probe_in_network):
    assert_start_stop_leaves_no_trace(probe_in_network(), "attr", "", rounds=10)
