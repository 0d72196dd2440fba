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


# Every hop behind a lossy link sees its loss, each through one probe per 5 s, so
# which of them the first diagnosis names varies from run to run; a hop in front
# of the link must never be named, and the cause must follow the hop named.
CAUSE_OF_HOP = {1: "hardware", 2: "isp", 3: "isp", 4: "unknown"}


def test_loss_rising_after_r2_is_diagnosed_behind_r2(network, start_probe):
    event, after = first_degradation(network, start_probe, "r2:eth1")
    assert event["affected_hop"] in (3, 4), event
    assert event["cause"] == CAUSE_OF_HOP[event["affected_hop"]]
    assert event["cause_detail"].startswith(
        {3: "Packet loss is occurring at hop 3", 4: "Packet loss trend detected at hop 4"}[event["affected_hop"]])
    assert event["loss_trend_pct_per_min"] > 0
    assert event["severity"] in ("low", "medium", "high")


def test_loss_rising_on_the_client_link_is_diagnosed(network, start_probe):
    event, after = first_degradation(network, start_probe, "client:eth0")
    assert event["affected_hop"] in CAUSE_OF_HOP, event
    assert event["cause"] == CAUSE_OF_HOP[event["affected_hop"]]
    assert event["loss_trend_pct_per_min"] > 0
