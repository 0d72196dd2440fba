#include "engines/hop/hop_table.hpp"

#include <gtest/gtest.h>

#include "capture/capture.hpp"
#include "engines/hop/hop_report.hpp"
#include "engines/hop/pending_probes.hpp"
#include "engines/hop/probe_packet.hpp"

namespace {

using namespace tarnvale;
using namespace tarnvale::engines::hop;

constexpr packets::IpAddress r1{packets::Ipv4(0xC0A80101)};
constexpr packets::IpAddress r2{packets::Ipv4(0xC6336402)};
constexpr packets::IpAddress r4{packets::Ipv4(0xC6336406)};
constexpr packets::IpAddress target{packets::Ipv4(0xCB00710A)};

void outcomes(HopTable& table, std::uint8_t ttl, packets::IpAddress from, int answered, int lost) {
    for (int i = 0; i < answered; ++i) {
        table.record_answer(ttl, from);
    }
    for (int i = 0; i < lost; ++i) {
        table.record_unanswered(ttl);
    }
}

TEST(HopHistory, KeepsTheNewestTwenty) {
    HopTable table(3);
    for (int i = 0; i < 25; ++i) {
        table.record_rtt(1, static_cast<float>(i));
    }
    outcomes(table, 1, r1, 0, 20);
    outcomes(table, 1, r1, 5, 0);
    const auto hop = table.snapshot()[1];
    ASSERT_EQ(hop.rtt_samples.size(), 20u);
    EXPECT_EQ(*hop.rtt_samples.begin(), 5.0f);
    EXPECT_EQ(hop.rtt_samples.back(), 24.0f);
    EXPECT_EQ(loss_percent(hop.outcomes), 75.0f);
    EXPECT_FALSE(table.record_answer(3, r1)) << "TTL outside the table";
    table.record_rtt(7, 1.0f);  // ignored, not a crash
}

TEST(ProbeOutcomes, EachSentProbeEndsAsExactlyOneOutcome) {
    using namespace std::chrono_literals;
    HopTable table(4);
    FlowPaths flows(probe_flow_count, 4);
    const engines::hop::ProbeOutcomes both{table, flows};
    PendingProbes pending;
    const auto sent = std::chrono::steady_clock::time_point{} + 1h;
    pending.insert_or_assign(7, PendingProbe{sent, 2});
    pending.insert_or_assign(8, PendingProbe{sent, 3});

    const auto answered = settle_answered(pending, both, 8, ProbeKind::ttl_limited, 0, r4, sent + 40ms);
    ASSERT_TRUE(answered);
    EXPECT_EQ(answered->ttl, 3);
    EXPECT_FLOAT_EQ(answered->rtt_ms, 40.0f);
    EXPECT_TRUE(answered->in_table);
    EXPECT_FALSE(settle_answered(pending, both, 8, ProbeKind::ttl_limited, 0, r4, sent + 50ms)) << "a duplicate reply";

    settle_overdue(pending, both, sent + reply_deadline - 1ms);
    EXPECT_EQ(table.snapshot()[2].outcomes.size(), 0u) << "not yet overdue";
    settle_overdue(pending, both, sent + reply_deadline);
    settle_overdue(pending, both, sent + reply_deadline + 1s);
    EXPECT_FALSE(settle_answered(pending, both, 7, ProbeKind::ttl_limited, 0, r2, sent + reply_deadline + 2s))
        << "a reply after its deadline";

    const auto hops = table.snapshot();
    EXPECT_EQ(std::vector<bool>(hops[2].outcomes.begin(), hops[2].outcomes.end()), std::vector<bool>{false});
    EXPECT_FALSE(hops[2].addr) << "the late reply names no router";
    EXPECT_EQ(std::vector<bool>(hops[3].outcomes.begin(), hops[3].outcomes.end()), std::vector<bool>{true});
    EXPECT_EQ(hops[3].addr, r4);

    pending.insert_or_assign(9, PendingProbe{sent, 30});
    const auto beyond = settle_answered(pending, both, 9, ProbeKind::ttl_limited, 0, r4, sent + 1ms);
    ASSERT_TRUE(beyond) << "a TTL outside the table is still matched once";
    EXPECT_FALSE(beyond->in_table);
}

TEST(ProbeOutcomes, TcpProbesCountApartFromTheTtlLimitedOnesAtTheTargetsHop) {
    using namespace std::chrono_literals;
    HopTable table(4);
    FlowPaths flows(probe_flow_count, 4);
    const engines::hop::ProbeOutcomes both{table, flows};
    PendingProbes pending;
    const auto sent = std::chrono::steady_clock::time_point{} + 1h;
    pending.insert_or_assign(20, PendingProbe{sent, 3, ProbeKind::tcp});
    pending.insert_or_assign(21, PendingProbe{sent, 3, ProbeKind::tcp});
    pending.insert_or_assign(22, PendingProbe{sent, 3});

    EXPECT_FALSE(settle_answered(pending, both, 22, ProbeKind::tcp, 0, r4, sent + 5ms))
        << "a TCP answer whose id is a UDP probe's settles nothing";
    EXPECT_FALSE(settle_answered(pending, both, 20, ProbeKind::ttl_limited, 0, r4, sent + 5ms));
    const auto answered = settle_answered(pending, both, 20, ProbeKind::tcp, 0, r4, sent + 5ms);
    ASSERT_TRUE(answered);
    EXPECT_EQ(answered->kind, ProbeKind::tcp);
    settle_overdue(pending, both, sent + reply_deadline);

    const auto hops = table.snapshot();
    const HopStats& target_hop = hops[3];
    EXPECT_EQ(target_hop.tcp_outcomes_total, 2u);
    EXPECT_EQ(target_hop.tcp_lost_total, 1u);
    EXPECT_EQ(target_hop.outcomes_total, 1u) << "only the UDP probe";
    EXPECT_EQ(target_hop.lost_total, 1u);
    EXPECT_FALSE(target_hop.addr) << "a TCP answer names no router";
    table.restart(3, r4);
    EXPECT_EQ(table.snapshot()[3].tcp_outcomes_total, 0u);
}

TEST(ProbeOutcomes, EachFlowCountsItsOwnAndTheHopTableOnlyThoseOnFlowZerosPath) {
    using namespace std::chrono_literals;
    HopTable table(4);
    FlowPaths flows(probe_flow_count, 4);
    const engines::hop::ProbeOutcomes both{table, flows};
    PendingProbes pending;
    const auto sent = std::chrono::steady_clock::time_point{} + 1h;
    const auto probe = [&](std::uint16_t id, std::uint8_t flow, bool on_first_path) {
        pending.insert_or_assign(id, PendingProbe{sent, 2, ProbeKind::ttl_limited, flow, on_first_path});
    };
    probe(1, 0, true);
    probe(2, 1, false);
    probe(3, 1, false);
    probe(4, 2, true);
    EXPECT_FALSE(settle_answered(pending, both, 1, ProbeKind::ttl_limited, 1, r2, sent + 5ms))
        << "an answer quoting another flow than the probe's";
    ASSERT_TRUE(settle_answered(pending, both, 1, ProbeKind::ttl_limited, 0, r2, sent + 5ms));
    const auto elsewhere = settle_answered(pending, both, 2, ProbeKind::ttl_limited, 1, r4, sent + 7ms);
    ASSERT_TRUE(elsewhere);
    EXPECT_FALSE(elsewhere->in_table) << "a flow off flow 0's path leaves the hop table alone";
    settle_overdue(pending, both, sent + reply_deadline);

    const auto hops = table.snapshot();
    EXPECT_EQ(hops[2].addr, r2);
    EXPECT_EQ(std::vector<bool>(hops[2].outcomes.begin(), hops[2].outcomes.end()), (std::vector<bool>{true, false}))
        << "flow 0's answer and flow 2's loss";
    const auto paths = flows.snapshot();
    EXPECT_EQ(paths[1][2].addr, r4);
    EXPECT_EQ(paths[1][2].outcomes_total, 2u);
    EXPECT_EQ(paths[1][2].lost_total, 1u);
    EXPECT_EQ(paths[2][2].lost_total, 1u);
    EXPECT_EQ(paths[0][2].rtt_samples.back(), 5.0f) << "a flow's round trips are its probes' own";
}

TEST(FlowPaths, AFlowFollowsFlowZeroUntilTheyAreAnsweredFromDifferentRouters) {
    FlowPaths flows(3, 6);
    EXPECT_FALSE(flows.follows_first(1, 2, target)) << "no answer yet tells where flow 1 goes";
    flows.record_answer(0, 1, r1, 1.0f);
    flows.record_answer(0, 3, r4, 3.0f);
    flows.record_answer(1, 1, r1, 1.0f);
    flows.record_answer(1, 3, r4, 3.0f);
    EXPECT_TRUE(flows.follows_first(1, 3, target)) << "TTL 2 answers neither flow: it tells nothing";
    flows.record_answer(1, 2, r2, 2.0f);
    EXPECT_TRUE(flows.follows_first(1, 3, target)) << "flow 0 not yet answered at TTL 2 shows no parting";
    EXPECT_FALSE(flows.follows_first(1, 2, target)) << "but nothing tells where flow 1 goes at TTL 2";
    flows.record_answer(0, 2, r4, 2.0f);
    EXPECT_FALSE(flows.follows_first(1, 3, target)) << "flow 1 meets another router at TTL 2 than flow 0";
    EXPECT_TRUE(flows.follows_first(1, 1, target));
    flows.record_answer(2, 1, r2, 1.0f);
    EXPECT_FALSE(flows.follows_first(2, 1, target));
    EXPECT_FALSE(flows.follows_first(7, 1, target)) << "a flow out of range";

    FlowPaths to_target(2, 4);
    to_target.record_answer(0, 2, r2, 2.0f);
    to_target.record_answer(0, 3, target, 3.0f);
    EXPECT_FALSE(to_target.follows_first(1, 3, target)) << "not yet met flow 0's router in front of the target";
    to_target.record_answer(1, 2, r2, 2.0f);
    EXPECT_TRUE(to_target.follows_first(1, 3, target)) << "every path ends at the target";
    to_target.record_answer(1, 3, r4, 3.0f);
    EXPECT_FALSE(to_target.follows_first(1, 3, target)) << "unless a router answers the flow there";

    flows.record_unanswered(1, 3);
    flows.record_answer(1, 3, target, 4.0f);
    const auto moved = flows.snapshot(1)[3];
    EXPECT_EQ(moved.addr, target);
    EXPECT_EQ(moved.outcomes_total, 1u) << "another router at the TTL: the flow's figures there begin again";
    EXPECT_EQ(moved.lost_total, 0u);

    EXPECT_EQ(flow_last_ttl(flows.snapshot(1), target, 3, 30), 3) << "the flow's own distance";
    EXPECT_EQ(flow_last_ttl(flows.snapshot(2), target, 3, 30), 3) << "not known to be longer than flow 0's path";
    flows.record_answer(2, 3, r4, 3.0f);
    EXPECT_EQ(flow_last_ttl(flows.snapshot(2), target, 3, 30), 3 + unequal_branch_allowance) << "a router at 3";
    EXPECT_EQ(flow_last_ttl(flows.snapshot(2), target, 3, 4), 4);
}

TEST(HopReport, LossRttAndTheChainOfPreviousHops) {
    HopTable table(6);
    outcomes(table, 1, r1, 20, 0);  // 0 %
    outcomes(table, 2, r2, 49, 1);  // 1 lost in the last 20: 5 %
    table.record_unanswered(3);     // outcomes but no address: never reported
    outcomes(table, 4, r4, 6, 1);   // 1 of 7: 14.285715 %
    table.record_rtt(4, 1.0f);
    table.record_rtt(4, 2.0f);
    outcomes(table, 5, target, 1, 0);
    const auto events = build_hop_loss_events(table.snapshot(), 1234, 4);
    ASSERT_EQ(events.size(), 3u) << "TTL 5 lies beyond the last TTL reported";
    EXPECT_EQ(events[0].hop, 1);
    EXPECT_EQ(events[0].addr, "192.168.1.1");
    EXPECT_EQ(events[0].loss_pct, 0.0f);
    EXPECT_EQ(events[0].rtt_ms, 0.0f);
    EXPECT_EQ(events[0].prev_loss_pct, 0.0f);
    EXPECT_FALSE(events[0].is_localized);
    EXPECT_EQ(events[1].loss_pct, 5.0f);
    EXPECT_EQ(events[1].prev_loss_pct, 0.0f);
    EXPECT_TRUE(events[1].is_localized);
    EXPECT_EQ(events[2].hop, 4);
    EXPECT_EQ(events[2].loss_pct, 14.285715f);
    EXPECT_EQ(events[2].prev_loss_pct, 5.0f) << "the silent TTL 3 does not reset the chain";
    EXPECT_EQ(events[2].rtt_ms, 1.5f);
    EXPECT_TRUE(events[2].is_localized);
    EXPECT_TRUE(std::all_of(events.begin(), events.end(), [](const auto& e) { return e.ts == 1234; }));
}

TEST(HopReport, LocalizedOnlyAboveThreePoints) {
    EXPECT_FALSE(is_localized(4.0f, 1.0f));
    EXPECT_TRUE(is_localized(4.5f, 1.0f));
    EXPECT_FALSE(is_localized(10.0f, 10.0f));
    EXPECT_TRUE(is_localized(10.0f, 2.0f));
    EXPECT_EQ(loss_percent(engines::BoundedHistory<bool>(20)), 0.0f);
}

TEST(HopReport, DelayEventsFollowTheReportedHopsAndMarkThoseBehindTheQueue) {
    HopTable table(5);
    outcomes(table, 1, r1, 5, 0);
    outcomes(table, 2, r2, 5, 0);
    outcomes(table, 4, target, 5, 0);
    const auto hops = table.snapshot();
    const auto loss_events = build_hop_loss_events(hops, 42, 4);
    std::vector<std::optional<HopDelay>> delays(5);
    delays[2] = HopDelay{4, 90, 0.2f};
    delays[3] = HopDelay{6, 95, 0.2f};  // hop 3 never answered a probe: no hop_loss, no hop_delay
    delays[4] = HopDelay{8, 96, 0.2f};
    const QueueLocation queue{2, *delays[2]};
    const auto events = build_hop_delay_events(loss_events, delays, queue);
    ASSERT_EQ(events.size(), 2u) << "hop 1 has no delay yet";
    EXPECT_EQ(events[0].hop, 2);
    EXPECT_EQ(events[0].addr, "198.51.100.2");
    EXPECT_EQ(events[0].ts, 42u);
    EXPECT_EQ(events[0].added_ms, 86.0f);
    EXPECT_TRUE(events[0].behind_queue);
    EXPECT_EQ(events[1].hop, 4);
    EXPECT_TRUE(events[1].behind_queue);
    EXPECT_FALSE(build_hop_delay_events(loss_events, delays, std::nullopt)[1].behind_queue);

    const auto located = queue_report(42, hops, queue);
    EXPECT_EQ(located.hop, 2);
    EXPECT_EQ(located.addr, "198.51.100.2");
    EXPECT_EQ(located.current_ms, 90.0f);
    EXPECT_EQ(queue_report(42, hops, std::nullopt).hop, 0);
}

TEST(HopReport, TargetDistanceIsTheLowestTtlAnsweringFromTheTarget) {
    HopTable table(8);
    EXPECT_FALSE(target_distance(table.snapshot(), target).has_value());
    outcomes(table, 1, r1, 1, 0);
    outcomes(table, 6, target, 1, 0);
    outcomes(table, 4, target, 1, 0);
    EXPECT_EQ(target_distance(table.snapshot(), target), 4);
    outcomes(table, 4, r4, 1, 0);  // the path grew: TTL 4 now answers from a router
    EXPECT_EQ(target_distance(table.snapshot(), target), 6);
}

capture::CaptureDevice device(std::string name, std::vector<packets::Ipv4> addresses) {
    return capture::CaptureDevice{std::move(name), std::nullopt, std::move(addresses)};
}

std::string chosen(const std::vector<capture::CaptureDevice>& devices) {
    const auto choice = capture::choose_capture_device(devices, "test");
    if (const auto* error = std::get_if<std::string>(&choice)) {
        return "error: " + *error;
    }
    return std::get<capture::CaptureDevice>(choice).name;
}

TEST(CaptureDevice, PreferredPassFallbackPassAndFailure) {
    constexpr packets::Ipv4 usable(0xC0A8010A);
    EXPECT_EQ(chosen({}), "error: no suitable pcap device found");
    constexpr packets::Ipv4 loopback(0x7F000001);
    EXPECT_EQ(chosen({device("lo", {loopback}), device("eth0", {usable})}), "eth0");
    EXPECT_EQ(chosen({device("Npcap LOOPBACK Adapter", {usable}), device("eth1", {usable})}), "eth1");
    EXPECT_EQ(chosen({device("vEthernet (Hyper-V)", {usable}), device("wlan0", {usable})}), "wlan0");
    const packets::Ipv4 link_local(0xA9FE0101);
    const packets::Ipv4 unspecified;
    EXPECT_EQ(chosen({device("a", {link_local}), device("b", {unspecified}), device("c", {}), device("d", {usable})}),
              "d");
    // No device qualifies: the first whose name lacks "loopback" is used.
    EXPECT_EQ(chosen({device("Loopback0", {loopback}), device("hyper-v", {usable}), device("x", {})}), "hyper-v");
    EXPECT_EQ(chosen({device("LOOPBACK", {usable})}), "error: no suitable pcap device found");
    // The Kelvin sign's lower case is "k", as full lower-casing has it.
    EXPECT_EQ(chosen({device("Loopbac\xE2\x84\xAA", {usable}), device("eth2", {usable})}), "eth2");
}

TEST(CaptureDevice, AHostWithoutIpv4CapturesWhereItsGlobalIpv6AddressIs) {
    const auto global = packets::parse_ip_address("2001:db8:1::10").value();
    const auto link_local = packets::parse_ip_address("fe80::1").value();
    const auto ipv6_only = [](std::string name, std::vector<packets::IpAddress> addresses) {
        return capture::CaptureDevice{std::move(name), std::nullopt, {}, std::move(addresses)};
    };
    EXPECT_EQ(chosen({ipv6_only("any", {}), ipv6_only("eth0", {link_local}), ipv6_only("eth1", {global})}), "eth1");
    EXPECT_EQ(chosen({ipv6_only("eth1", {global}), device("eth0", {packets::Ipv4(0xC0A8010A)})}), "eth0")
        << "a usable IPv4 address comes first, as before";
    EXPECT_EQ(chosen({ipv6_only("Loopback", {global}), ipv6_only("wlan0", {global})}), "wlan0");
    EXPECT_TRUE(capture::is_global_ipv6(global));
    EXPECT_TRUE(capture::is_global_ipv6(packets::parse_ip_address("3fff::1").value()));
    EXPECT_FALSE(capture::is_global_ipv6(link_local));
    EXPECT_FALSE(capture::is_global_ipv6(packets::parse_ip_address("fd00::1").value()));
    EXPECT_FALSE(capture::is_global_ipv6(packets::ipv6_loopback));
    EXPECT_FALSE(capture::is_global_ipv6(packets::IpAddress(packets::Ipv4(0x2A000001))));

    const auto traffic =
        capture::choose_traffic_device({ipv6_only("docker0", {link_local}), ipv6_only("eth0", {global})});
    ASSERT_TRUE(traffic);
    EXPECT_EQ(traffic->name, "eth0");
    EXPECT_FALSE(capture::choose_traffic_device({ipv6_only("eth0", {link_local})}));
}

TEST(CaptureDevice, UsableAddressesAndLinkHeaders) {
    EXPECT_FALSE(capture::is_usable_address(packets::Ipv4(0x7F000001)));
    EXPECT_FALSE(capture::is_usable_address(packets::Ipv4(0x7F123456)));
    EXPECT_FALSE(capture::is_usable_address(packets::Ipv4(0xA9FE0001)));
    EXPECT_FALSE(capture::is_usable_address(packets::Ipv4()));
    EXPECT_TRUE(capture::is_usable_address(packets::Ipv4(0xA9FF0001)));
    EXPECT_TRUE(capture::is_usable_address(packets::Ipv4(0x0A000001)));
    EXPECT_EQ(capture::link_header_length(0), 4u);
    EXPECT_EQ(capture::link_header_length(101), 4u);
    EXPECT_EQ(capture::link_header_length(12), 0u);
    EXPECT_EQ(capture::link_header_length(1), 14u);
    EXPECT_EQ(capture::link_header_length(113), 16u);
    EXPECT_EQ(capture::link_header_length(276), 20u);
    EXPECT_EQ(capture::link_header_length(999), 14u);
}

TEST(CaptureTime, AFrameTakenLateKeepsItsOwnArrival) {
    using namespace std::chrono;
    capture::CapturedFrame frame;
    frame.captured_at = system_clock::now() - milliseconds(50);
    const auto before = steady_clock::now();
    const auto arrival = capture::steady_arrival(frame.captured_at);
    EXPECT_LE(arrival, before - milliseconds(50));
    EXPECT_GT(arrival, before - milliseconds(500)) << "about 50 ms ago, however slow this machine";

    frame.captured_at = system_clock::now() + seconds(5);  // the system clock was set back meanwhile
    EXPECT_GE(capture::steady_arrival(frame.captured_at), before);
    frame.captured_at = system_clock::now() - hours(1);  // or forward
    EXPECT_GE(capture::steady_arrival(frame.captured_at), before);
}

}  // namespace
