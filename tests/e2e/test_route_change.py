"""A router joins the path in the middle of a run: the probe says which hops changed, and the diagnosis of a loss
behind the new router rests on the new route's evidence alone."""

import os
import time

import pytest
from conftest import log_records, network_fixture
from probe_helpers import last_is, read_events

pytestmark = pytest.mark.slow

# r1 and r3 are linked directly, and the path takes that link until r2 is routed in.
BYPASSED = 2
# The link from r1 into r2: on the new route only, in front of hop 2.
LOSSY_LINK = "r1:eth1"
# A probe every 2 s per hop: at the default 5 s a hop holds so few outcomes
# between the loss and its diagnosis that 50 % loss may read under 15 %.
INTERVAL_MS = 2000


bypassed_network = network_fixture("bypassed_network", "A test network whose r1 can route around r2.",
                                   bypass=BYPASSED)


def test_a_router_joining_the_path_is_reported_and_loss_behind_it_diagnosed(bypassed_network, start_probe, log_dir):
    network = bypassed_network
    old_hops = network.hop_addresses()  # r1, r3 over the bypass, the server
    probe = start_probe(netns=network.namespace("client"))
    probe.handshake()
    probe.send({"cmd": "start_engine", "engine": "hop", "target": network.server_address, "interval_ms": INTERVAL_MS})
    before = probe.collect(25)
    assert {(e["hop"], e["addr"]) for e in before if e["type"] == "hop_loss"} == set(enumerate(old_hops, 1))

    network.set_bypass(False)
    switched = time.time()
    new_hops = network.hop_addresses()  # r1, r2, r3, the server: every hop from 2 on has changed
    expected = {(hop, old, new) for hop, (old, new) in enumerate(zip(old_hops, new_hops), 1) if old != new}
    assert expected == {(2, "198.51.100.254", "198.51.100.2"), (3, "203.0.113.10", "198.51.100.6")}

    def changed(events):
        return {(e["hop"], e["old_addr"], e["new_addr"]) for e in events if e["type"] == "route_change"}

    after_change = read_events(probe, 60, until=lambda events: changed(events) == expected)
    assert changed(after_change) == expected
    after_change += probe.collect(2)  # the rest of the cycle that reported the last change
    for index, event in enumerate(after_change):
        if event["type"] == "route_change":
            # The cycle's changes come first, then its hop_loss events (which name the new routers).
            following = next(e for e in after_change[index + 1:] if e["type"] != "route_change")
            assert (following["type"], following["ts"], following["hop"]) == ("hop_loss", event["ts"], 1)
    changes = [e for e in after_change if e["type"] == "route_change"]
    assert list(changes[0]) == ["type", "ts", "hop", "old_addr", "new_addr"]
    logged = {(r["fields"]["hop"], r["fields"]["old_addr"], r["fields"]["new_addr"])
              for r in log_records(log_dir, probe) if r["fields"]["message"] == "route change"}
    assert logged == expected

    network.set_loss(LOSSY_LINK, 50)
    try:
        later = read_events(probe, 240, until=last_is("degradation"))
        # Six reports more under the loss: each hop's last twenty outcomes then come mostly from after it began.
        under_loss = later + read_events(probe, 42)
    finally:
        network.set_loss(LOSSY_LINK, 0)
    degradations = [e for e in later if e["type"] == "degradation"]
    # The run's account, seconds after r2 was routed in, for the file TARNVALE_DIAGNOSIS_RECORD names.
    with open(os.environ.get("TARNVALE_DIAGNOSIS_RECORD", os.devnull), "a") as out:
        out.write("r2 routed into the path, then 50 % loss on r1:eth1 in front of it\n")
        out.writelines(f"  +{event['ts'] - switched:.0f} s {event}\n" for event in changes + degradations)
    assert not changed(under_loss), "each change is reported once"
    latest = {e["hop"]: e for e in under_loss if e["type"] == "hop_loss"}
    assert {hop: e["addr"] for hop, e in latest.items()} == dict(enumerate(new_hops, 1))
    readings = {hop: [round(e["loss_pct"]) for e in under_loss if e["type"] == "hop_loss" and e["hop"] == hop]
                for hop in latest}  # each hop's loss, report by report, since the loss began
    # Each hop_loss covers its hop's last twenty probes, which may still hold some from before the loss: the hops
    # behind r1 show it together, hop 1 not at all.
    behind = [latest[hop]["loss_pct"] for hop in (2, 3, 4)]
    assert latest[1]["loss_pct"] == 0 and sum(behind) / len(behind) > 15, readings
    assert degradations, f"no degradation within 4 minutes of the loss behind r1; came: {degradations}"
    assert degradations[-1]["affected_hop"] == 2, degradations
