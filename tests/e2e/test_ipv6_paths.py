"""The path engines to IPv6 targets on the dual-stack test network: the same hops and bottleneck as to the
server's IPv4 address (loss over both families: test_hop_engine), and the rule by which a name picks its
family."""

from lab.network import DUAL_STACK_NAME, IPV6_ONLY_NAME
from probe_helpers import assert_bottleneck_at_hop_3_only, bandwidth_sweeps, cycles, rates_judged_unsanitized


def hop_cycles(probe, target, seconds):
    probe.start_engine("hop", target)
    return cycles(probe.collect(seconds))


def test_hop_loss_over_ipv6_names_every_router_by_its_ipv6_address(probe_in_network, network):
    network.set_delay("r2:eth1", 20)
    try:
        reports = hop_cycles(probe_in_network(), network.server_address_v6, 15.5)
    finally:
        network.set_delay("r2:eth1", 0)
    assert len(reports) == 2, reports
    for cycle in reports:
        assert [e["hop"] for e in cycle] == [1, 2, 3, 4], cycle
        assert [e["addr"] for e in cycle] == network.hop_addresses_v6()
    assert all(e["loss_pct"] == 0.0 for e in reports[-1])
    near, behind_delay = reports[-1][:2], reports[-1][2:]
    assert all(0 < e["rtt_ms"] < 20 for e in near), near
    assert all(20 <= e["rtt_ms"] < 200 for e in behind_delay), "ICMPv6 echoes cross the 20 ms delay after r2"


def test_a_name_takes_its_ipv4_address_and_an_ipv6_only_name_its_ipv6_one(probe_in_network, network):
    dual = hop_cycles(probe_in_network(), DUAL_STACK_NAME, 8.5)
    assert [e["addr"] for e in dual[-1]] == network.hop_addresses()
    ipv6_only = hop_cycles(probe_in_network(), IPV6_ONLY_NAME, 8.5)
    assert [e["addr"] for e in ipv6_only[-1]] == network.hop_addresses_v6()


@rates_judged_unsanitized
def test_a_bottleneck_after_r2_is_flagged_at_hop_3_only_over_ipv6(probe_in_network, network):
    network.set_bottleneck("r2:eth1", "500kbit")
    try:
        estimates = bandwidth_sweeps(probe_in_network(), network.server_address_v6, sweeps=2)
    finally:
        network.set_bottleneck("r2:eth1", None)
    assert 1.5 < estimates[1][0]["mbps"] < 3.0, "ten 1400-byte packets 5 ms apart, as over IPv4"
    for hop, events in estimates.items():
        assert {e["addr"] for e in events} == {network.hop_addresses_v6()[hop - 1]}, "the router's IPv6 address"
    assert_bottleneck_at_hop_3_only(estimates)
