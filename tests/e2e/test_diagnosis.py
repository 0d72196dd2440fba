"""Rising loss in the test network becomes a degradation event naming the hop where it starts."""

import contextlib
import os
import statistics
import time

import pytest

from lab import Iperf3Flow, TestNetwork

pytestmark = pytest.mark.slow

HARDWARE = ("Packet loss is occurring at your local router (hop 1). Check your router or ethernet/wifi "
            "connection.")


def sentence_of(event):
    """A degradation's sentence for its cause, without the evidence sentence that ends its cause_detail."""
    sentence, found, evidence = event["cause_detail"].partition(" Evidence: ")
    assert found and evidence.endswith("."), event
    return sentence


def record(kind, link, events, after):
    """Appends the run's degradation events to the file TARNVALE_DIAGNOSIS_RECORD names, for the tables of
    recorded runs."""
    with open(os.environ.get("TARNVALE_DIAGNOSIS_RECORD", os.devnull), "a") as out:
        named = ", ".join(f"hop {e['affected_hop']} {e['cause']} ({e['loss_now_pct']:.1f} %)" for e in events)
        out.write(f"{kind} {link}: {named or 'none'}; {after:.0f} s\n")


def first_diagnosis(network, start_probe, link, change, timeout):
    """Runs the hop engine, then changes the loss on `link` (`change` starts it and returns what stops it) and
    waits for the first degradation event; returns it and the seconds it took."""
    probe = start_probe(netns=network.namespace("client"))
    probe.handshake()
    probe.start_engine("hop", network.server_address)
    probe.collect(10)
    stop = change()
    began = time.monotonic()
    try:
        event, _ = probe.wait_for(lambda e: e["type"] == "degradation", timeout=timeout)
    finally:
        stop()
        network.set_loss(link, 0)
    return event, time.monotonic() - began


def diagnosis_of_a_ramp(network, start_probe, link):
    """Ramps the loss on `link` from 0 to 30 % over three minutes: the first degradation event."""
    ramp = None

    def start():
        nonlocal ramp
        ramp = network.ramp_loss(link, 0, 30, seconds=180)
        return ramp.stop

    event, after = first_diagnosis(network, start_probe, link, start, timeout=480)
    assert ramp.error is None
    record("ramp", link, [event], after)
    return event


def diagnosis_of_a_step(network, start_probe, link):
    """Drops 30 % on `link` from one moment on: the first degradation event."""
    def start():
        network.set_loss(link, 30)
        return lambda: None

    event, after = first_diagnosis(network, start_probe, link, start, timeout=420)
    record("step", link, [event], after)
    return event


# Every hop behind a lossy link sees its loss, each through one probe per 5 s;
# the first event waits until the hops' evidence together tells where it begins.
@pytest.mark.daily
def test_loss_rising_after_r2_is_diagnosed_at_hop_3(network, start_probe):
    event = diagnosis_of_a_ramp(network, start_probe, "r2:eth1")
    assert event["affected_hop"] == 3, event
    assert event["cause"] == "isp"
    assert sentence_of(event) == ("Packet loss is occurring at hop 3, likely within your ISP's infrastructure. "
                                  "This may be a transient issue.")
    assert event["loss_trend_pct_per_min"] > 0
    assert event["severity"] in ("low", "medium", "high")


@pytest.mark.daily
def test_loss_rising_on_the_client_link_is_diagnosed_at_hop_1(network, start_probe):
    event = diagnosis_of_a_ramp(network, start_probe, "client:eth0")
    assert event["affected_hop"] == 1, event
    assert event["cause"] == "hardware"
    assert sentence_of(event) == HARDWARE
    assert event["loss_trend_pct_per_min"] > 0


@pytest.mark.daily
def test_a_loss_step_on_the_client_link_is_diagnosed_first_at_hop_1(network, start_probe):
    event = diagnosis_of_a_step(network, start_probe, "client:eth0")
    assert (event["affected_hop"], event["cause"], sentence_of(event)) == (1, "hardware", HARDWARE), event
    assert event["loss_now_pct"] >= 15 or event["eta_drop_sec"] <= 600


def test_a_loss_step_after_r2_is_diagnosed_first_at_hop_3(network, start_probe):
    event = diagnosis_of_a_step(network, start_probe, "r2:eth1")
    assert (event["affected_hop"], event["cause"]) == (3, "isp"), event


@pytest.mark.daily
def test_a_router_withholding_answers_while_forwarding_everything_gives_no_degradation(network, start_probe):
    probe = start_probe(netns=network.namespace("client"))
    probe.handshake()
    probe.start_engine("hop", network.server_address)
    network.set_answer_loss("r2", 55)
    began = time.monotonic()
    try:
        events = probe.collect(240)
    finally:
        network.set_answer_loss("r2", 0)
    degradations = [e for e in events if e["type"] == "degradation"]
    record("withholding", "r2", degradations, time.monotonic() - began)
    assert degradations == []
    hop_2 = [e["loss_pct"] for e in events if e["type"] == "hop_loss" and e["hop"] == 2]
    assert statistics.mean(hop_2[-10:]) > 20, "hop 2 shows the answers it withholds"
    assert all(e["loss_pct"] == 0 for e in events if e["type"] == "hop_loss" and e["hop"] == 4)


@pytest.mark.daily
def test_every_engine_on_a_quiet_rate_limited_path_gives_no_loss_and_no_degradation(start_probe):
    # Routers and server answer as real ones do: a burst of six, then one a second.
    with TestNetwork(hops=3, icmp_rate_limit=True) as network:
        probe = start_probe(netns=network.namespace("client"))
        probe.handshake()
        for engine in ("hop", "bw", "attr"):
            probe.start_engine(engine, network.server_address)
        events = probe.collect(300)
    losses = {}
    for event in events:
        if event["type"] == "hop_loss":
            losses.setdefault(event["hop"], []).append(event["loss_pct"])
    degradations = [e for e in events if e["type"] == "degradation"]
    record("quiet, every engine, rate limits on:", "-", degradations, 300)
    with open(os.environ.get("TARNVALE_DIAGNOSIS_RECORD", os.devnull), "a") as out:
        out.write(f"  mean loss by hop: {({hop: round(statistics.mean(v), 1) for hop, v in losses.items()})}\n")
    assert sorted(losses) == [1, 2, 3, 4]
    assert all(statistics.mean(values) <= 2 for values in losses.values()), losses
    assert any(e["type"] == "bw_estimate" for e in events), "the trains ran"
    assert degradations == []


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
            event, before = probe.wait_for(lambda e: e["type"] == "degradation", timeout=480)
    finally:
        if ramp:
            ramp.stop()
        network.set_loss("r2:eth1", 0)
        network.set_bottleneck("r2:eth1", None)
    assert event["affected_hop"] == 3, event
    return event, [e for e in before if e["type"] == "app_traffic"]


@pytest.mark.daily
def test_loss_at_a_bottleneck_without_local_upload_is_congestion(network, start_probe):
    event, _ = diagnosis_at_a_bottleneck(network, start_probe, upload=False)
    assert event["cause"] == "congestion", event
    assert sentence_of(event) == ("Hop 3 is a bandwidth bottleneck. No local process is saturating the uplink "
                                  "\u2014 this is likely network congestion at your ISP or CDN.")


def test_loss_at_a_bottleneck_filled_by_an_upload_is_saturation(network, start_probe):
    event, traffic = diagnosis_at_a_bottleneck(network, start_probe, upload=True)
    assert any(e["name"] == "iperf3" and e["saturating"] for e in traffic), traffic
    assert event["cause"] == "saturation", event
    assert sentence_of(event).startswith("Hop 3 is a bandwidth bottleneck and your uplink is saturated by: iperf3 (")
    assert sentence_of(event).endswith("Mbps up). Throttling or pausing these processes should reduce packet loss.")
