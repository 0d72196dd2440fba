"""The diagnosis where routers and the target decline some of their answers, as real ones do: the pinger's echo
replies count beside the probes, so loss in front of a router that also declines answers is still blamed on that
router, and a target whose only fault is the answers it declines is not named."""

import collections
import os
import statistics
import time

import pytest
from probe_helpers import last_is, read_stamped

pytestmark = pytest.mark.slow

# The quickest sweep the hop engine takes: one probe per hop a second, five times the default's evidence.
INTERVAL_MS = 1000
# Clean reports before a condition begins, so that the loss it brings rises from them.
LEAD_IN_S = 20
# Long enough for a degradation to come twice over: a 50 % loss in front of the target is named within 60 s.
WATCHED_S = 150


def start_hop_engine(network, start_probe):
    probe = start_probe(netns=network.namespace("client"))
    probe.handshake()
    probe.send({"cmd": "start_engine", "engine": "hop", "target": network.server_address,
                "interval_ms": INTERVAL_MS})
    assert probe.next_event() == {"type": "ack", "cmd": "start_engine", "ok": True}
    return probe


def of_type(stamped, kind):
    return [event for _, event in stamped if event["type"] == kind]


def recent_loss_by_hop(stamped, reports=5):
    """Each hop's address and mean loss over its last `reports` hop_loss events."""
    losses = {}
    for event in of_type(stamped, "hop_loss"):
        losses.setdefault(event["hop"], []).append(event)
    return {hop: (events[-1]["addr"], statistics.mean(e["loss_pct"] for e in events[-reports:]))
            for hop, events in sorted(losses.items())}


def record(run, stamped, began):
    """Appends the run's account to the file TARNVALE_DIAGNOSIS_RECORD names: each degradation and route_change
    with the seconds since the condition began at `began`, then each hop's address and recent loss."""
    lines = []
    for arrived, event in stamped:
        seconds = f"{arrived - began:+.0f} s"
        if event["type"] == "degradation":
            lines.append(f"  {seconds} degradation: hop {event['affected_hop']} {event['cause']} "
                         f"{event['severity']}, loss now {event['loss_now_pct']:.1f} %, "
                         f"trend {event['loss_trend_pct_per_min']:+.1f} %/min")
        elif event["type"] == "route_change":
            lines.append(f"  {seconds} route_change: hop {event['hop']} {event['old_addr']} -> {event['new_addr']}")
    if not lines:
        lines.append(f"  no degradation or route_change in {stamped[-1][0] - began:.0f} s")
    hops = ", ".join(f"{hop} {addr} {loss:.0f} %" for hop, (addr, loss) in recent_loss_by_hop(stamped).items())
    lines.append(f"  mean loss of the last five hop_loss by hop: {hops}")
    with open(os.environ.get("TARNVALE_DIAGNOSIS_RECORD", os.devnull), "a") as out:
        out.write(f"{run}\n" + "\n".join(lines) + "\n")


def test_loss_in_front_of_a_home_router_answering_half_its_probes_is_diagnosed_at_hop_1(network, start_probe):
    # r1 declines half of its Time Exceeded answers all along; then the client's link into it loses 30 %.
    # Hop 1's probes show both (65 %), its echo replies and every later hop the link's 30 %.
    network.set_answer_loss("r1", 50)
    try:
        probe = start_hop_engine(network, start_probe)
        events = read_stamped(probe, LEAD_IN_S)
        network.set_loss("client:eth0", 30)
        began = time.monotonic()
        events += read_stamped(probe, 200, until=last_is("degradation"))
    finally:
        network.set_loss("client:eth0", 0)
        network.set_answer_loss("r1", 0)
    record("home router answering half its probes, then 30 % loss on client:eth0", events, began)
    losses = {hop: loss for hop, (_, loss) in recent_loss_by_hop(events).items()}
    kinds = collections.Counter(event["type"] for _, event in events)
    assert {1, 2, 3, 4} <= set(losses), f"hops reported: {losses}; events: {dict(kinds)}"
    assert losses[1] > max(losses[hop] for hop in (2, 3, 4)), f"r1 declines answers beside the loss: {losses}"
    degradations = of_type(events, "degradation")
    assert degradations, f"no degradation within 200 s of the loss; hops: {losses}"
    assert (degradations[0]["affected_hop"], degradations[0]["cause"]) == (1, "hardware"), degradations[0]


@pytest.mark.parametrize("withheld", [
    # Its TCP answers, which no ICMP limit touches, show the path clean.
    pytest.param(("port-unreachable", "echo-reply"), id="half its pings too"),
    # Its echo replies show the path clean; the simulations check this case in every run.
    pytest.param(("port-unreachable",), id="every ping answered", marks=pytest.mark.daily),
])
def test_a_target_declining_half_its_answers_on_a_clean_path_gives_no_degradation(network, start_probe, withheld):
    # The server begins to decline half of its Port Unreachable answers to the probes that reach it (and, in the
    # first case, half of its echo replies) while nothing is lost on the way: the loss rises as a real one would.
    server = network.server_address
    probe = start_hop_engine(network, start_probe)
    events = read_stamped(probe, LEAD_IN_S)
    # Asked at the server as it arrives, answered at r3 as the answer arrives from the server.
    probes = network.count_packets("server", 'iifname "eth0" meta l4proto udp')
    unreachables = network.count_packets("r3", f'iifname "eth1" ip saddr {server} icmp type destination-unreachable')
    pings = network.count_packets("server", 'iifname "eth0" icmp type echo-request')
    replies = network.count_packets("r3", f'iifname "eth1" ip saddr {server} icmp type echo-reply')
    syns = network.count_packets("server", 'iifname "eth0" tcp dport 443 tcp flags & (syn | ack) == syn')
    tcp_answers = network.count_packets("r3", f'iifname "eth1" ip saddr {server} tcp sport 443')
    network.set_answer_loss("server", 50, kinds=withheld)
    began = time.monotonic()
    try:
        events += read_stamped(probe, WATCHED_S)
        probe.stop_engine("hop")
        probe.collect(1.5)  # the answers still on their way
        answered = {"port-unreachable": (unreachables.packets(), probes.packets()),
                    "echo-reply": (replies.packets(), pings.packets()),
                    "tcp": (tcp_answers.packets(), syns.packets())}
    finally:
        network.set_answer_loss("server", 0)
    shares = ", ".join(f"{kind} {got} of {asked}" for kind, (got, asked) in answered.items())
    record(f"server declining half of its {' and '.join(withheld)} on a clean path (answered: {shares})",
           events, began)
    # Some hundred and fifty probes reach the server, and it is pinged once after each answer it gives: half of
    # seventy-five answered lies within 30 to 70 % (three and a half deviations).
    for kind, (got, asked) in answered.items():
        lowest, highest = (0.3, 0.7) if kind in withheld else (0.99, 1.0)
        assert lowest * asked <= got <= highest * asked, (kind, answered)
    assert answered["tcp"][1] >= 1.6 * WATCHED_S, ("two TCP probes of the target in each one-second sweep", answered)
    losses = {hop: [e["loss_pct"] for e in of_type(events, "hop_loss") if e["hop"] == hop] for hop in (1, 2, 3, 4)}
    assert all(loss == 0 for hop in (1, 2, 3) for loss in losses[hop]), losses
    assert statistics.mean(losses[4][-20:]) > 20, "hop 4 shows the answers the server declines"
    assert of_type(events, "degradation") == []
