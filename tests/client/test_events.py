"""Typed event records from the lines the probe writes."""

import json

import pytest
from event_samples import LINES, sample

from tarnvale import ProbeError
from tarnvale.events import (KINDS, Ack, AppTraffic, BwEstimate, Confidence, Degradation, Error, FlowBw, FlowLoss,
                             HopCounts, HopDelay, HopLoss, HopUnsent, Latency, MalformedEvent, OtherEvent,
                             PathStatus,
                             RouteChange, UnownedTraffic, parse_event)


def test_every_kind_of_the_client_api_has_its_record():
    assert set(LINES) == set(KINDS)
    records = {kind: parse_event(json.loads(line)) for kind, line in LINES.items()}
    assert records["hop_loss"] == HopLoss(1800000007, 3, "198.51.100.6", 25.0, 12.5, 0.0, True)
    assert records["bw_estimate"] == BwEstimate(1800000006, 2, "", 0.5, 2.24, True,
                                                Confidence("medium", 0.45, 0.55, 9))
    assert records["app_traffic"] == AppTraffic(1800000001, 31212, "iperf3", 29.5, 0.65, 0.0, True)
    assert records["degradation"] == Degradation(1800000100, "high", 10, None, "isp", "loss begins at hop 3", 3,
                                                 20.0, 0.5)
    assert records["hop_delay"] == HopDelay(1800000007, 3, "198.51.100.6", 30.4, 197.0, 166.6, True)
    assert records["latency"] == Latency(1800000040, "high", "saturation", "d", 3, "198.51.100.6", 30.4, 197.0,
                                         166.6)
    assert records["hop_unsent"] == HopUnsent(1800000007, 2, "198.51.100.2", 14, 6)
    assert records["route_change"] == RouteChange(1800000070, 3, "198.51.100.6", "198.51.100.10")
    assert records["flow_loss"] == FlowLoss(1800000007, 2, 2, "198.51.100.14", 20.0, 4.5)
    assert records["flow_bw"] == FlowBw(1800000060, 3, 2, "198.51.100.246", 1.0, 2.24, True, 2)
    assert records["unowned_traffic"] == UnownedTraffic(1800000001, "unknown", 4.0, 0.5, 0.0, True)
    assert records["hop_counts"] == HopCounts(1800000007, 3, "198.51.100.6", 2, 1, (4.5, 12.0))
    assert records["path_status"] == PathStatus(1800000090, "hop", "no_route", "no route to 203.0.113.10")
    assert records["error"] == Error(1800000000, "bw", "NO_TARGET", "no target", True)
    assert records["ack"] == Ack("start_engine", False, "unknown engine")
    assert all(record.kind == kind for kind, record in records.items())
    assert parse_event({"type": "ack", "cmd": "stop_engine", "ok": True}) == Ack("stop_engine", True, None)


def test_new_kinds_and_members_do_not_break_the_client():
    members = {"type": "path_change", "ts": 5, "hops": [1, 2]}
    assert parse_event(members) == OtherEvent("path_change", members)
    assert parse_event(sample("hop_loss", jitter_ms=3.0)) == parse_event(sample("hop_loss"))


def without(members, name):
    return {key: value for key, value in members.items() if key != name}


@pytest.mark.parametrize("members, complaint", [
    (without(sample("hop_loss"), "rtt_ms"), "hop_loss event lacks member 'rtt_ms'"),
    (without(sample("route_change"), "new_addr"), "route_change event lacks member 'new_addr'"),
    (without(sample("flow_bw"), "sample_count"), "flow_bw event lacks member 'sample_count'"),
    (sample("bw_estimate", confidence={"level": "low"}), "bw_estimate.confidence event lacks member 'p05_mbps'"),
    (sample("bw_estimate", confidence="low"), "confidence is not an object"),
    ({"ts": 1}, "not an event"),
    ([1, 2], "not an event"),
])
def test_a_known_kind_without_its_members_is_a_malformed_event(members, complaint):
    with pytest.raises(MalformedEvent, match=complaint) as malformed:
        parse_event(members)
    assert isinstance(malformed.value, ProbeError), "every failure of the library is a ProbeError"
