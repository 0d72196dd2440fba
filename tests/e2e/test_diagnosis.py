"""Rising loss in the test network becomes a degradation event naming the hop where it starts."""

import os
import time

import pytest

pytestmark = pytest.mark.slow


def first_degradation(network, start_probe, link, timeout=330):
    """Ramps the loss on `link` from 0 to 30 % over three minutes; the first degradation event and when it came."""
    probe = start_probe(netns=network.namespace("client"))
    probe.handshake()
    probe.start_engine("hop", network.server_address)
    probe.collect(10)
    ramp = network.ramp_loss(link, 0, 30, seconds=180)
    began = time.monotonic()
    try:
        event, _ = probe.wait_for(lambda e: e["type"] == "degradation", timeout=timeout)
    finally:
        ramp.stop()
        network.set_loss(link, 0)
    assert ramp.error is None
    after = time.monotonic() - began
    with open(os.environ.get("TARNVALE_DIAGNOSIS_RECORD", os.devnull), "a") as record:
        record.write(f"{link}: hop {event['affected_hop']} {event['cause']} after {after:.0f} s\n")
    return event, after


def test_loss_rising_after_r2_is_diagnosed_at_hop_3_as_the_isp(network, start_probe):
    event, after = first_degradation(network, start_probe, "r2:eth1")
    print(f"degradation after {after:.0f} s: {event}")
    assert event["affected_hop"] == 3
    assert event["cause"] == "isp"
    assert event["cause_detail"].startswith("Packet loss is occurring at hop 3")
    assert event["loss_trend_pct_per_min"] > 0


def test_loss_rising_on_the_client_link_is_diagnosed_at_hop_1_as_hardware(network, start_probe):
    event, after = first_degradation(network, start_probe, "client:eth0")
    print(f"degradation after {after:.0f} s: {event}")
    assert event["affected_hop"] == 1
    assert event["cause"] == "hardware"
