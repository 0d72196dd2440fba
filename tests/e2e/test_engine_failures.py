"""Engine failures reach the client as error events; the probe and the other engines go on."""

import time

from lab.conditions import NFT_TABLE as LAB_TABLE
from probe_helpers import cycles

NFT_TABLE = ("inet", LAB_TABLE)
FIREWALL_CHAIN = "local_firewall"
NOTICE_PERIOD_S = 7


def refuse_outgoing_probes(network, percent: int) -> None:
    """A local firewall in the client that drops `percent` % of its UDP to the server: the sender gets EPERM."""
    network.run("client", ["nft", "add", "chain", *NFT_TABLE, FIREWALL_CHAIN,
                           "{ type filter hook output priority 10; policy accept; }"])
    network.run("client", ["nft", "add", "rule", *NFT_TABLE, FIREWALL_CHAIN, "ip", "daddr",
                           network.server_address, "meta", "l4proto", "udp", "numgen", "random", "mod", "100",
                           "<", str(percent), "drop"])


def remove_firewall(network) -> None:
    network.run("client", ["nft", "delete", "chain", *NFT_TABLE, FIREWALL_CHAIN], check=False)


def test_probes_refused_by_a_local_firewall_are_told_as_send_fail_and_not_as_loss(probe_in_network, network):
    refuse_outgoing_probes(network, 30)
    try:
        probe = probe_in_network()
        probe.start_engine("hop", network.server_address)
        started = time.monotonic()
        events = probe.collect(30)
        elapsed = time.monotonic() - started
        probe.send({"cmd": "stop_engine", "engine": "hop"})
        acknowledged, _ = probe.wait_for(lambda e: e.get("cmd") == "stop_engine")
        assert acknowledged["ok"], "the probe is still serving"
    finally:
        remove_firewall(network)

    send_fail = [e for e in events if e["type"] == "error" and e["code"] == "SEND_FAIL"]
    assert send_fail, [e for e in events if e["type"] == "error"]
    assert all(e["engine"] == "hop" and e["fatal"] is False for e in send_fail), send_fail
    assert "Operation not permitted" in send_fail[0]["message"], send_fail[0]
    assert send_fail[0]["message"].startswith("probes not sent: "), send_fail[0]
    assert len(send_fail) <= elapsed / NOTICE_PERIOD_S + 2, "one event per cause and period, not one per probe"
    assert not [e for e in events if e["type"] == "error" and e["fatal"]], "the engine goes on"

    unsent = [e for e in events if e["type"] == "hop_unsent"]
    assert unsent, "hop_unsent names the hops whose probes were refused"
    assert all(1 <= e["hop"] <= 30 and e["unsent"] > 0 for e in unsent), unsent

    reports = cycles(events)
    assert reports, "the hops that answered are still reported"
    # The path itself loses nothing: the refused probes are neither loss nor answers, and hop_unsent names them.
    assert all(e["loss_pct"] == 0.0 for cycle in reports for e in cycle), reports
    reported_hops = {e["hop"] for cycle in reports for e in cycle}
    assert {e["hop"] for e in unsent} & reported_hops, (unsent, reported_hops)
