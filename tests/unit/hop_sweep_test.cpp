// The hop engine's probing loop, run in simulated time over simulated paths:
// minutes of sweeps take milliseconds.
#include <gtest/gtest.h>

#include <algorithm>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "engines/hop/probe_packet.hpp"
#include "hop_loop.hpp"
#include "packets/views.hpp"

namespace {

using namespace tarnvale;
using namespace tarnvale::engines::hop;
using sim::hop_at;
using sim::SimulatedHop;
using sim::SimulatedPath;
using std::chrono::milliseconds;
using std::chrono::seconds;

using namespace sim::test_network;
constexpr packets::IpAddress target = server;
constexpr std::uint8_t max_hops = 30;

struct SweepRun {
    std::vector<HopStats> hops;                    // the hop table at the end
    std::vector<ipc::HopLossEvent> reports;        // every hop_loss event, in order
    std::vector<std::vector<FlowHop>> flows;       // each flow's figures at the end
    std::vector<ipc::FlowLossEvent> flow_reports;  // every flow_loss event, in order
};

// Runs the loop over the path until the path's run time is over.
SweepRun run_sweeps(SimulatedPath& path, std::uint64_t interval_ms = 5000, packets::IpAddress to = target) {
    sim::SimulatedHopLoop loop(path, to, max_hops);
    EXPECT_TRUE(loop.run(interval_ms));
    SweepRun run{loop.shared().table->snapshot(), {}, loop.shared().flow_paths->snapshot(), {}};
    for (const auto& event : loop.take_events()) {
        if (const auto* loss = std::get_if<ipc::HopLossEvent>(&event)) {
            run.reports.push_back(*loss);
        } else if (const auto* flow_loss = std::get_if<ipc::FlowLossEvent>(&event)) {
            run.flow_reports.push_back(*flow_loss);
        }
    }
    return run;
}

double lost_share(const HopStats& hop) {
    return hop.outcomes_total == 0 ? 0.0
                                   : static_cast<double>(hop.lost_total) / static_cast<double>(hop.outcomes_total);
}

// The last hop_loss event of each hop.
std::map<std::uint8_t, ipc::HopLossEvent> latest(const SweepRun& run) {
    std::map<std::uint8_t, ipc::HopLossEvent> by_hop;
    for (const auto& event : run.reports) {
        by_hop[event.hop] = event;
    }
    return by_hop;
}

TEST(HopSweepSimulation, ARouterAnsweringHalfItsProbesShowsHalfLossAndNoOtherHopDoes) {
    SimulatedPath path(client,
                       {hop_at(r1), {.address = r2, .answers = sim::answering_share(0.5)}, hop_at(r3), hop_at(target)},
                       seconds(300), 7);
    const auto run = run_sweeps(path);

    EXPECT_NEAR(lost_share(run.hops[2]), 0.5, 0.15);
    for (const std::size_t hop : {1U, 3U, 4U}) {
        EXPECT_EQ(run.hops[hop].lost_total, 0u) << "hop " << hop;
        // A probe every 5 s for 300 s, but for each other flow's first at the
        // hop: until the flow is answered there, nothing places it on flow 0's path.
        EXPECT_GE(run.hops[hop].outcomes_total, 60u - probe_flow_count) << "hop " << hop;
    }
    const auto reported = latest(run);
    ASSERT_EQ(reported.size(), 4u);
    EXPECT_EQ(reported.at(2).addr, "198.51.100.2");
    EXPECT_GT(reported.at(2).loss_pct, 20.0f);
    EXPECT_EQ(reported.at(4).addr, "203.0.113.10");
    // A hop is reported once it has answered: from the first report that names hop 2, every one names all four.
    const auto first_with_hop_2 = std::find_if(run.reports.begin(), run.reports.end(),
                                               [](const ipc::HopLossEvent& event) { return event.hop == 2; });
    ASSERT_NE(first_with_hop_2, run.reports.begin());
    const auto named_all = run.reports.end() - (first_with_hop_2 - 1);
    EXPECT_EQ(named_all % 4, 0) << "every report names the four hops";
    EXPECT_GE(named_all / 4, 40) << "a report every 7 s";

    // The first sweep goes out to max_hops; once the target has answered, none goes past it.
    EXPECT_EQ(path.probes_by_ttl().at(5), 1u);
    EXPECT_EQ(path.probes_by_ttl().at(max_hops), 1u);
}

TEST(HopSweepSimulation, AnIpv6PathShowsTheSameLossAsItsIpv4Twin) {
    SimulatedPath path(
        client_v6,
        {hop_at(r1_v6), {.address = r2_v6, .answers = sim::answering_share(0.5)}, hop_at(r3_v6), hop_at(server_v6)},
        seconds(300), 7);
    const auto run = run_sweeps(path, 5000, server_v6);

    EXPECT_NEAR(lost_share(run.hops[2]), 0.5, 0.15);
    for (const std::size_t hop : {1U, 3U, 4U}) {
        EXPECT_EQ(run.hops[hop].lost_total, 0u) << "hop " << hop;
        EXPECT_GE(run.hops[hop].outcomes_total, 60u - probe_flow_count);
    }
    const auto reported = latest(run);
    ASSERT_EQ(reported.size(), 4u);
    EXPECT_EQ(reported.at(1).addr, "2001:db8:1::1");
    EXPECT_EQ(reported.at(2).addr, "2001:db8:100:1::2");
    EXPECT_EQ(reported.at(4).addr, "2001:db8:113::10");
    EXPECT_EQ(path.probes_by_ttl().at(max_hops), 1u) << "past the target only in the first sweep";
}

TEST(HopSweepSimulation, ATargetThatMovesFromTtl4To5IsFollowed) {
    SimulatedPath path(client, {hop_at(r1), hop_at(r2), hop_at(r3), hop_at(target)}, seconds(120), 11);
    path.change_route(seconds(60), {hop_at(r1), hop_at(r2), hop_at(r3), hop_at(r4), hop_at(target)});
    const auto run = run_sweeps(path);

    const auto reported = latest(run);
    ASSERT_EQ(reported.size(), 5u);
    EXPECT_EQ(reported.at(4).addr, "198.51.100.10") << "TTL 4 now reaches a router";
    EXPECT_EQ(reported.at(5).addr, "203.0.113.10");
    // Out to max_hops at the start, and at most once more when TTL 4 answered
    // from elsewhere; TTL 5 from then on, in most of the 12 sweeps since.
    EXPECT_LE(path.probes_by_ttl().at(6), 2u);
    EXPECT_GE(path.probes_by_ttl().at(5), 8u);
    EXPECT_EQ(run.hops[5].lost_total, 0u);
}

TEST(HopSweepSimulation, AnAnswerAfterTheDeadlineCountsAsLossAndIsNotMatchedLater) {
    const milliseconds beyond_deadline = std::chrono::duration_cast<milliseconds>(reply_deadline) + milliseconds(500);
    const milliseconds within_deadline = std::chrono::duration_cast<milliseconds>(reply_deadline) - milliseconds(500);
    SimulatedPath path(client,
                       {hop_at(r1),
                        {.address = r2, .round_trip = within_deadline},
                        {.address = r3, .round_trip = beyond_deadline},
                        hop_at(target)},
                       seconds(120), 3);
    const auto run = run_sweeps(path);

    EXPECT_EQ(run.hops[2].lost_total, 0u) << "slow, but in time";
    // Flow 0 alone speaks for a hop that no flow has heard from.
    EXPECT_GE(run.hops[3].outcomes_total, 5u);
    EXPECT_EQ(run.hops[3].lost_total, run.hops[3].outcomes_total) << "every answer came too late";
    EXPECT_FALSE(run.hops[3].addr.has_value()) << "a late answer does not name the hop";
    for (std::uint8_t flow = 0; flow < probe_flow_count; ++flow) {
        EXPECT_GE(run.flows[flow][3].outcomes_total, 2u) << "each flow in its turn: flow " << int{flow};
        EXPECT_EQ(run.flows[flow][3].lost_total, run.flows[flow][3].outcomes_total) << "flow " << int{flow};
        EXPECT_FALSE(run.flows[flow][3].addr.has_value()) << "flow " << int{flow};
    }
    EXPECT_EQ(run.hops[4].lost_total, 0u);
}

// The hop table after sweeps every 5 s over the whole of `path`, with the pinger beside them.
std::vector<engines::hop::HopStats> pinged_table(SimulatedPath& path) {
    sim::SimulatedHopLoop loop(path, target, max_hops);
    loop.add_pinger();
    EXPECT_TRUE(loop.run(5000));
    return loop.shared().table->snapshot();
}

}  // namespace

TEST(HopPingerSimulation, TheTargetsEchoRoundTripsLandAtItsOwnTtl) {
    // The first sweep goes out to max_hops, so the target is sighted at every TTL from 4 on.
    SimulatedPath path(client,
                       {{.address = r1, .round_trip = milliseconds(2)},
                        {.address = r2, .round_trip = milliseconds(4)},
                        {.address = r3, .round_trip = milliseconds(6)},
                        {.address = target, .round_trip = milliseconds(8)}},
                       seconds(120), 5);
    const auto hops = pinged_table(path);
    for (const std::size_t ttl : {1U, 2U, 3U, 4U}) {
        ASSERT_EQ(hops[ttl].rtt_samples.size(), hop_history_length) << "ttl " << ttl;
        EXPECT_NEAR(hops[ttl].rtt_samples.back(), 2.0 * static_cast<double>(ttl), 0.01) << "ttl " << ttl;
    }
    for (std::size_t ttl = 5; ttl < hops.size(); ++ttl) {
        EXPECT_TRUE(hops[ttl].rtt_samples.empty()) << "ttl " << ttl;
    }
}

TEST(HopPingerSimulation, ARouterThatAnswersFewProbesIsPingedEverySecondLikeTheRest) {
    // The hop in front of a loss is held against it by its answers: a router
    // that declines most probes (and pings) must still be measured by its pings.
    SimulatedPath path(client,
                       {hop_at(r1), {.address = r2, .answers = sim::answering_share(0.25)}, hop_at(r3), hop_at(target)},
                       seconds(120), 3);
    const auto hops = pinged_table(path);
    for (const std::size_t ttl : {1U, 2U, 3U, 4U}) {
        EXPECT_GE(hops[ttl].echo_outcomes_total, 90u) << "a round a second once found: ttl " << ttl;
    }
}

TEST(HopPinger, AKnownRouterKeepsTheLowestTtlItWasSightedAtAndWaitsForTheRound) {
    SightingQueue sightings(sighting_queue_capacity);
    PingChoice choice;
    sightings.try_push({3, r3});
    sightings.try_push({4, target});
    sightings.try_push({5, target});
    ASSERT_EQ(choice.take_new(sightings).size(), 2u);

    // The target answers every probe that reaches it, so it is sighted at each
    // TTL out to the longest probed, while the pinger waits for its round.
    EXPECT_TRUE(choice.take_waited(HopSighting{6, target}).empty());
    EXPECT_TRUE(choice.take_waited(HopSighting{4, r3}).empty());
    const auto fresh = choice.take_waited(HopSighting{2, r2});
    ASSERT_EQ(fresh.size(), 1u) << "a router not seen before is pinged at once";
    std::map<packets::IpAddress, std::uint8_t> known;
    for (const HopSighting& router : choice.every_known()) {
        known[router.addr] = router.ttl;
    }
    const std::map<packets::IpAddress, std::uint8_t> expected{{r2, 2}, {r3, 3}, {target, 4}};
    EXPECT_EQ(known, expected);
}

namespace {

constexpr packets::IpAddress r2_beside{packets::Ipv4(0xC633640E)};  // 198.51.100.14
constexpr packets::IpAddress r3_beside{packets::Ipv4(0xC6336412)};  // 198.51.100.18

}  // namespace

TEST(HopSweepSimulation, OnABalancedRouteTheProbesKeepToOneBranch) {
    // r1 spreads flows over two branches by a hash of their ports, drawn anew
    // for each seed; the second branch loses a fifth of what enters it.
    const auto balanced = [](std::uint64_t seed) {
        auto path = std::make_unique<SimulatedPath>(
            client, std::vector<SimulatedHop>{hop_at(r1), hop_at(r2), hop_at(r3), hop_at(target)}, seconds(300), seed);
        path->add_branch(
            {hop_at(r1), {.address = r2_beside, .link = sim::steady_loss(0.2)}, hop_at(r3_beside), hop_at(target)});
        return path;
    };

    // Flows of other ports take both branches.
    const auto spread = balanced(1);
    std::set<packets::IpAddress> routers;
    spread->on_answer([&routers](std::span<const std::uint8_t> answer, SimulatedPath::Clock::time_point) {
        routers.insert(packets::IpAddress(packets::Ipv4View::read(answer)->source()));
    });
    for (std::uint16_t port = 40000; port < 40064; ++port) {
        EXPECT_FALSE(spread->send(build_ttl_probe(1, 2, ProbeFlow{port}, client, target), target, 0));
    }
    asio::io_context io;
    asio::co_spawn(io, spread->wait_until(spread->now() + seconds(1)), asio::detached);
    io.run();
    EXPECT_EQ(routers, (std::set<packets::IpAddress>{r2, r2_beside}));

    // Each of the engine's flows keeps to one branch: every hop of a flow, and
    // of the hop table (flow 0's path), keeps one router, and the target's
    // loss is that of the branch the flow takes, not a mix of both.
    std::set<bool> branches_taken;
    std::map<bool, std::pair<std::uint64_t, std::uint64_t>> target_outcomes;  // by branch: (lost, all)
    for (std::uint64_t seed = 1; seed <= 8; ++seed) {
        const auto path = balanced(seed);
        const auto run = run_sweeps(*path);
        // Hops past the target's are reported only while the probe to it is
        // lost in the first sweeps: they are the target again.
        std::map<std::uint8_t, std::set<std::string>> addresses;
        for (const auto& event : run.reports) {
            if (event.hop <= 4) {
                addresses[event.hop].insert(event.addr);
            }
        }
        ASSERT_EQ(addresses.size(), 4u) << "seed " << seed;
        for (const auto& [hop, seen] : addresses) {
            EXPECT_EQ(seen.size(), 1u) << "hop " << int{hop} << ", seed " << seed;
        }
        std::map<std::pair<int, int>, std::set<std::string>> flow_addresses;  // by (flow, hop)
        for (const auto& event : run.flow_reports) {
            if (event.hop <= 4) {
                flow_addresses[{event.flow, event.hop}].insert(event.addr);
            }
        }
        EXPECT_EQ(flow_addresses.size(), std::size_t{probe_flow_count} * 4) << "seed " << seed;
        for (const auto& [flow_hop, seen] : flow_addresses) {
            EXPECT_EQ(seen.size(), 1u) << "flow " << flow_hop.first << ", hop " << flow_hop.second << ", seed " << seed;
        }
        for (std::uint8_t flow = 0; flow < probe_flow_count; ++flow) {
            const FlowHop& at_target = run.flows[flow][4];
            const bool through_lossy = run.flows[flow][2].addr == r2_beside;
            branches_taken.insert(through_lossy);
            target_outcomes[through_lossy].first += at_target.lost_total;
            target_outcomes[through_lossy].second += at_target.outcomes_total;
        }
        const bool first_through_lossy = *addresses[2].begin() == packets::to_text(r2_beside);
        EXPECT_EQ(run.flows[0][2].addr, first_through_lossy ? r2_beside : r2) << "the hop table is flow 0's path";
        EXPECT_EQ(run.hops[4].lost_total == 0, !first_through_lossy) << "seed " << seed;
    }
    EXPECT_EQ(branches_taken.size(), 2u) << "the flows go down either branch";
    EXPECT_EQ(target_outcomes[false].first, 0u) << "no loss on the clean branch";
    const auto [lost, all] = target_outcomes[true];
    EXPECT_NEAR(static_cast<double>(lost) / static_cast<double>(all), 0.2, 0.06) << lost << " of " << all;
}
