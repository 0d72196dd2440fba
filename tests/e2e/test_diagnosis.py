"""Rising loss in the test network becomes a degradation event naming the hop where it starts."""

import contextlib
import os
import time

import pytest

from lab import Iperf3Flow

pytestmark = pytest.mark.slow


def diagnosis_of_a_ramp(network, start_probe, link, hop, timeout=330):
    """Ramps the loss on `link` from 0 to 30 % over three minutes until a degradation event names `hop`;
    returns that event and the degradation events before it."""
    probe = start_probe(netns=network.namespace("client"))
    probe.handshake()
    probe.start_engine("hop", network.server_address)
    probe.collect(10)
    ramp = network.ramp_loss(link, 0, 30, seconds=180)
    began = time.monotonic()
    try:
        event, before = probe.wait_for(lambda e: e["type"] == "degradation" and e["affected_hop"] == hop,
                                       timeout=timeout)
    finally:
        ramp.stop()
        network.set_loss(link, 0)
    assert ramp.error is None
    after = time.monotonic() - began
    earlier = [e for e in before if e["type"] == "degradation"]
    with open(os.environ.get("TARNVALE_DIAGNOSIS_RECORD", os.devnull), "a") as record:
        named = ", ".join(f"hop {e['affected_hop']} {e['cause']}" for e in earlier + [event])
        record.write(f"{link}: {named}; hop {hop} after {after:.0f} s\n")
    return event, earlier


# Every hop behind a lossy link sees its loss, each through one probe per 5 s: a
# hop behind the one where loss begins may meet the rule first by chance and be
# named until the first hop's own trend does.
def test_loss_rising_after_r2_is_diagnosed_at_hop_3(network, start_probe):
    event, earlier = diagnosis_of_a_ramp(network, start_probe, "r2:eth1", hop=3)
    assert all(e["affected_hop"] == 4 and e["cause"] == "unknown" for e in earlier), earlier
    assert event["cause"] == "isp"
    assert event["cause_detail"] == ("Packet loss is occurring at hop 3, likely within your ISP's infrastructure. "
                                     "This may be a transient issue.")
    assert event["loss_trend_pct_per_min"] > 0
    assert event["severity"] in ("low", "medium", "high")


def test_loss_rising_on_the_client_link_is_diagnosed_at_hop_1(network, start_probe):
    event, earlier = diagnosis_of_a_ramp(network, start_probe, "client:eth0", hop=1)
    assert all(e["affected_hop"] > 1 for e in earlier), earlier
    assert event["cause"] == "hardware"
    assert event["cause_detail"] == ("Packet loss is occurring at your local router (hop 1). Check your router or "
                                     "ethernet/wifi connection.")
    assert event["loss_trend_pct_per_min"] > 0


def diagnosis_at_a_bottleneck(network, start_probe, upload):
    """A 500 kbit bottleneck after r2, found by the bandwidth engine, then loss ramped on the same link,
    optionally under a local upload that fills the bottleneck: the first degradation that names hop 3."""
    network.set_bottleneck("r2:eth1", "500kbit")
    ramp = None
    try:
        probe = start_probe(netns=network.namespace("client"))
        probe.handshake()
        probe.start_engine("bw", network.server_address)
        probe.wait_for(lambda e: e["type"] == "bw_estimate" and e["hop"] == 3 and e["bottleneck"], timeout=150)
        probe.start_engine("hop", network.server_address)
        with contextlib.ExitStack() as traffic:
            if upload:
                probe.start_engine("attr", "")
                traffic.enter_context(Iperf3Flow(network, "-u", "-b", "1M", "-t", "600", port=5321))
            probe.collect(10)
            ramp = network.ramp_loss("r2:eth1", 0, 30, seconds=180)
            event, before = probe.wait_for(lambda e: e["type"] == "degradation" and e["affected_hop"] == 3,
                                           timeout=360)
    finally:
        if ramp:
            ramp.stop()
        network.set_loss("r2:eth1", 0)
        network.set_bottleneck("r2:eth1", None)
    earlier = [e for e in before if e["type"] == "degradation"]
    assert all(e["affected_hop"] == 4 for e in earlier), earlier
    return event, [e for e in before if e["type"] == "app_traffic"]


def test_loss_at_a_bottleneck_without_local_upload_is_congestion(network, start_probe):
    event, _ = diagnosis_at_a_bottleneck(network, start_probe, upload=False)
    assert event["cause"] == "congestion", event
    assert event["cause_detail"] == ("Hop 3 is a bandwidth bottleneck. No local process is saturating the uplink "
                                     "\u2014 this is likely network congestion at your ISP or CDN.")


def test_loss_at_a_bottleneck_filled_by_an_upload_is_saturation(network, start_probe):
    event, traffic = diagnosis_at_a_bottleneck(network, start_probe, upload=True)
    assert any(e["name"] == "iperf3" and e["saturating"] for e in traffic), traffic
    assert event["cause"] == "saturation", event
    assert event["cause_detail"].startswith("Hop 3 is a bandwidth bottleneck and your uplink is saturated by: iperf3 (")
    assert event["cause_detail"].endswith("Mbps up). Throttling or pausing these processes should reduce packet loss.")
