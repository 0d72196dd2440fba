// The bandwidth engine's train loop, run in simulated time over simulated
// paths: the receiver's handling of each answer, the estimator and the
// schedule of the trains, as the engine runs them.
#include "engines/bandwidth/train_sweep.hpp"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <tuple>

#include "engines/bandwidth/bw_receiver.hpp"
#include "engines/bandwidth/train_flows.hpp"
#include "engines/bandwidth/train_packet.hpp"
#include "loop_harness.hpp"
#include "simulated_path.hpp"

namespace {

using namespace tarnvale;
using namespace tarnvale::engines::bandwidth;
using sim::hop_at;
using sim::SimulatedHop;
using sim::SimulatedPath;
using std::chrono::seconds;

using namespace sim::test_network;
constexpr packets::IpAddress target = server;
constexpr std::uint8_t max_hops = 30;
constexpr std::uint32_t trains_per_hop = 3;

// Every event of a run over the path until its time is over.
std::vector<ipc::Event> run_train_events(SimulatedPath& path, packets::IpAddress to = target) {
    sim::LoopHarness harness;
    const std::size_t entries = std::size_t{max_hops} + 1;
    const TrainShared shared{to,
                             50000,
                             max_hops,
                             trains_per_hop,
                             5000,
                             std::make_shared<HopSampleTable>(entries),
                             std::make_shared<FlowSampleTable>(train_flow_count, entries),
                             std::make_shared<TrainRegistry>(),
                             std::make_shared<TargetDistance>(entries),
                             std::make_shared<engines::PathRoute>(client, 0)};
    const BandwidthReceiverShared receiver{to,
                                           shared.source_port,
                                           shared.trains,
                                           shared.samples,
                                           shared.flow_samples,
                                           shared.distance,
                                           std::make_shared<runtime::StopFlag>()};
    path.on_answer([&receiver](std::span<const std::uint8_t> datagram, SimulatedPath::Clock::time_point arrival) {
        handle_answer(receiver, datagram, arrival);
    });
    EXPECT_TRUE(harness.run(send_trains_forever(shared, path, harness.outlets())));
    return harness.take_events();
}

template <typename Kind>
std::vector<Kind> events_of(const std::vector<ipc::Event>& events) {
    std::vector<Kind> found;
    for (const auto& event : events) {
        if (const auto* one = std::get_if<Kind>(&event)) {
            found.push_back(*one);
        }
    }
    return found;
}

// Every bw_estimate event of a run over the path until its time is over.
std::vector<ipc::BwEstimateEvent> run_trains(SimulatedPath& path, packets::IpAddress to = target) {
    return events_of<ipc::BwEstimateEvent>(run_train_events(path, to));
}

std::map<std::uint8_t, ipc::BwEstimateEvent> latest(const std::vector<ipc::BwEstimateEvent>& estimates) {
    std::map<std::uint8_t, ipc::BwEstimateEvent> by_hop;
    for (const auto& estimate : estimates) {
        by_hop[estimate.hop] = estimate;
    }
    return by_hop;
}

TEST(TrainSweepSimulation, SweepsStopAtTheTargetAndKeepTheFullPeriod) {
    // One sweep: 4 hops of 3 trains of 10 packets 5 ms apart and a 500 ms pause,
    // then the interval and the 26 x 3 trains not sent beyond the target: 54.5 s.
    SimulatedPath path(client, {hop_at(r1), hop_at(r2), hop_at(r3), hop_at(server)}, seconds(200), 5);
    const auto estimates = run_trains(path);

    const auto& sent = path.probes_by_ttl();
    EXPECT_EQ(sent.size(), 4u) << "no train beyond the target's distance, not even in the first sweep";
    for (std::uint8_t ttl = 1; ttl <= 4; ++ttl) {
        EXPECT_EQ(sent.at(ttl), 4u * trains_per_hop * packets_per_train) << "four sweeps in 200 s, TTL " << int{ttl};
    }
    // The target answers a train with Port Unreachable: it has no spacing sample, hence no estimate.
    EXPECT_EQ(estimates.size(), 4u * 3u);
    for (const auto& estimate : estimates) {
        EXPECT_LE(estimate.hop, 3);
        EXPECT_FALSE(estimate.bottleneck) << "hop " << int{estimate.hop};
        if (estimate.hop == 1) {
            EXPECT_NEAR(estimate.mbps, 2.24, 0.01) << "the trains' own rate";
        } else {
            EXPECT_GT(estimate.mbps, 2.24f) << "no slower than the hop before it";
        }
    }
}

TEST(TrainSweepSimulation, ASlowLinkIntoHop3IsTheOnlyBottleneckOverEitherFamily) {
    struct Path {
        packets::IpAddress client, r1, r2, r3, server;
    };
    std::vector<float> hop3_mbps;
    for (const Path& family : {Path{client, r1, r2, r3, server}, Path{client_v6, r1_v6, r2_v6, r3_v6, server_v6}}) {
        SimulatedHop slow = hop_at(family.r3);
        slow.link_mbps = 0.5;  // 22.4 ms for each 1400-byte packet
        SimulatedPath path(family.client, {hop_at(family.r1), hop_at(family.r2), slow, hop_at(family.server)},
                           seconds(60), 5);
        const auto reported = latest(run_trains(path, family.server));

        ASSERT_EQ(reported.size(), 3u) << packets::to_text(family.server);
        EXPECT_FALSE(reported.at(1).bottleneck);
        EXPECT_FALSE(reported.at(2).bottleneck);
        EXPECT_TRUE(reported.at(3).bottleneck) << packets::to_text(family.server);
        EXPECT_LT(reported.at(3).mbps, 0.7f * reported.at(3).baseline_mbps);
        hop3_mbps.push_back(reported.at(3).mbps);
    }
    EXPECT_EQ(hop3_mbps[0], hop3_mbps[1]) << "the same 1400 bytes a packet over IPv6";
}

TEST(TrainSweepSimulation, ARouterThatNeverAnswersHasNoEstimateAndHidesNoLinkBehindIt) {
    SimulatedHop silent = hop_at(r2);
    silent.answers = sim::answering_share(0.0);
    SimulatedHop slow = hop_at(r3);
    slow.link_mbps = 0.5;
    SimulatedPath path(client, {hop_at(r1), silent, slow, hop_at(server)}, seconds(60), 5);
    const auto reported = latest(run_trains(path));

    EXPECT_FALSE(reported.contains(2));
    ASSERT_TRUE(reported.contains(3));
    EXPECT_TRUE(reported.at(3).bottleneck) << "judged on its own spacing when the hop before it has none";
}

TEST(TrainSweepSimulation, OnABalancedRouteEveryTrainCrossesOneBranch) {
    // r1 spreads flows over two branches by a hash drawn anew for each seed;
    // on the second the link into hop 3 is slow.
    constexpr packets::IpAddress r2_beside{packets::Ipv4(0xC633640E)};  // 198.51.100.14
    constexpr packets::IpAddress r3_beside{packets::Ipv4(0xC6336412)};  // 198.51.100.18
    SimulatedHop slow = hop_at(r3_beside);
    slow.link_mbps = 0.5;
    std::set<bool> branches_taken;
    for (std::uint64_t seed = 1; seed <= 8; ++seed) {
        SimulatedPath path(client, {hop_at(r1), hop_at(r2), hop_at(r3), hop_at(server)}, seconds(60), seed);
        path.add_branch({hop_at(r1), hop_at(r2_beside), slow, hop_at(server)});
        const auto estimates = run_trains(path);

        std::map<std::uint8_t, std::set<std::string>> addresses;
        std::set<bool> hop3_bottleneck;
        for (const auto& estimate : estimates) {
            addresses[estimate.hop].insert(estimate.addr);
            if (estimate.hop == 3) {
                hop3_bottleneck.insert(estimate.bottleneck);
            }
        }
        ASSERT_EQ(addresses.size(), 3u) << "seed " << seed;
        for (const auto& [hop, seen] : addresses) {
            EXPECT_EQ(seen.size(), 1u) << "hop " << int{hop} << ", seed " << seed;
        }
        const bool through_slow = *addresses[2].begin() == packets::to_text(r2_beside);
        EXPECT_EQ(hop3_bottleneck, std::set<bool>{through_slow})
            << "the slow link is found behind r2_beside, and only there; seed " << seed;
        branches_taken.insert(through_slow);
    }
    EXPECT_EQ(branches_taken.size(), 2u) << "the seeds send the trains down either branch";
}

TEST(TrainFlows, TheFirstSweepIsFlow0sThenEachHopsFirstTrainIsAndTheOthersTakeTurns) {
    for (std::uint32_t train = 0; train < trains_per_hop; ++train) {
        EXPECT_EQ(train_flow(0, train), 0) << "bw_estimate as soon and on as many samples as with one flow";
    }
    std::set<std::uint8_t> guests;
    for (std::uint64_t sweep = 1; sweep < train_flow_count; ++sweep) {
        EXPECT_EQ(train_flow(sweep, 0), 0) << "sweep " << sweep;
        EXPECT_NE(train_flow(sweep, 1), 0) << "sweep " << sweep;
        EXPECT_EQ(train_flow(sweep, 2), train_flow(sweep, 1)) << "a guest's two samples in one sweep";
        EXPECT_EQ(guest_flow(sweep), train_flow(sweep, 1));
        guests.insert(guest_flow(sweep));
    }
    EXPECT_EQ(guests.size(), train_flow_count - 1u) << "flows 1 to 7 each once in seven sweeps";
    EXPECT_LT(*guests.rbegin(), train_flow_count);
    EXPECT_EQ(guest_flow(train_flow_count), guest_flow(1)) << "then round again";
}

TEST(TrainSweepSimulation, EveryFlowIsMeasuredWithinTheSameTrainsAndFlowBwFollowsEachHopsEstimate) {
    // Eight sweeps over a path with no balancer: every flow meets the same routers.
    SimulatedPath path(client, {hop_at(r1), hop_at(r2), hop_at(r3), hop_at(server)}, seconds(8 * 54), 5);
    const auto events = run_train_events(path);

    for (std::uint8_t ttl = 1; ttl <= 4; ++ttl) {
        EXPECT_EQ(path.probes_by_ttl().at(ttl), 8u * trains_per_hop * packets_per_train)
            << "as many trains a hop and sweep as with one flow, TTL " << int{ttl};
    }
    // After each bw_estimate: flow 0's flow_bw of the same hop, then the sweep's guest's, if any.
    std::uint64_t sweep = 0;
    std::map<std::uint8_t, std::set<std::uint8_t>> hops_by_flow;
    for (std::size_t i = 0; i < events.size(); ++i) {
        const auto* estimate = std::get_if<ipc::BwEstimateEvent>(&events[i]);
        if (estimate == nullptr) {
            continue;
        }
        sweep += estimate->hop == 1 && i > 0 ? 1 : 0;
        ASSERT_LT(i + 1, events.size());
        const auto* own = std::get_if<ipc::FlowBwEvent>(&events[i + 1]);
        ASSERT_NE(own, nullptr) << "event " << i + 1;
        EXPECT_EQ(own->flow, 0);
        EXPECT_EQ(std::tie(own->hop, own->addr, own->mbps, own->bottleneck),
                  std::tie(estimate->hop, estimate->addr, estimate->mbps, estimate->bottleneck))
            << "flow 0 is bw_estimate's path";
        EXPECT_EQ(own->sample_count, 3 + sweep) << "flow 0's own: three, then one a sweep";
        EXPECT_EQ(estimate->confidence.sample_count, 3 * (sweep + 1))
            << "every flow met flow 0's routers: each train counts for bw_estimate, three a hop and sweep";
        if (sweep == 0) {
            continue;
        }
        ASSERT_LT(i + 2, events.size());
        const auto* guest = std::get_if<ipc::FlowBwEvent>(&events[i + 2]);
        ASSERT_NE(guest, nullptr) << "sweep " << sweep << ", hop " << int{estimate->hop};
        EXPECT_EQ(guest->flow, guest_flow(sweep));
        EXPECT_EQ(guest->hop, estimate->hop);
        EXPECT_EQ(guest->addr, estimate->addr) << "no balancer: the same router";
        EXPECT_EQ(guest->sample_count, 2u) << "two trains of the guest's at each hop";
        EXPECT_FALSE(guest->bottleneck);
        hops_by_flow[guest->flow].insert(guest->hop);
    }
    EXPECT_EQ(sweep, 7u);
    EXPECT_EQ(hops_by_flow.size(), train_flow_count - 1u);
    for (const auto& [flow, hops] : hops_by_flow) {
        EXPECT_EQ(hops, (std::set<std::uint8_t>{1, 2, 3})) << "flow " << int{flow};
    }
    EXPECT_EQ(events_of<ipc::BwEstimateEvent>(events).front().confidence.sample_count, 3u)
        << "the first sweep's three trains a hop are flow 0's";
}

TEST(TrainSweepSimulation, OnABalancedRouteTheFlowsThatCrossTheSlowBranchFlagItAndTheOthersDoNot) {
    constexpr packets::IpAddress r2_beside{packets::Ipv4(0xC633640E)};  // 198.51.100.14
    constexpr packets::IpAddress r3_beside{packets::Ipv4(0xC6336412)};  // 198.51.100.18
    SimulatedHop slow = hop_at(r3_beside);
    slow.link_mbps = 0.5;
    std::set<std::size_t> slow_branch_flows;  // how many flows crossed it, by seed
    for (std::uint64_t seed = 1; seed <= 8; ++seed) {
        SimulatedPath path(client, {hop_at(r1), hop_at(r2), hop_at(r3), hop_at(server)}, seconds(8 * 54), seed);
        path.add_branch({hop_at(r1), hop_at(r2_beside), slow, hop_at(server)});
        const auto events = run_train_events(path);

        std::map<std::uint8_t, ipc::FlowBwEvent> hop2, hop3;  // each flow's latest, by flow
        for (const auto& event : events_of<ipc::FlowBwEvent>(events)) {
            (event.hop == 2 ? hop2 : hop3)[event.flow] = event;
            EXPECT_FALSE(event.hop == 1 && event.bottleneck) << "seed " << seed;
        }
        ASSERT_EQ(hop3.size(), std::size_t{train_flow_count}) << "seed " << seed;
        std::size_t through_slow = 0;
        for (const auto& [flow, estimate] : hop3) {
            const bool beside = hop2.at(flow).addr == packets::to_text(r2_beside);
            EXPECT_EQ(estimate.addr, packets::to_text(beside ? r3_beside : r3)) << "seed " << seed;
            EXPECT_EQ(estimate.bottleneck, beside) << "flow " << int{flow} << ", seed " << seed;
            EXPECT_FALSE(hop2.at(flow).bottleneck) << "flow " << int{flow} << ", seed " << seed;
            if (beside) {
                EXPECT_EQ(estimate.mbps, 1.0f) << "0.5 Mbit/s reads as the estimator's lowest figure";
            }
            through_slow += beside ? 1 : 0;
        }
        // bw_estimate keeps flow 0's branch, one router a hop.
        for (const auto& estimate : events_of<ipc::BwEstimateEvent>(events)) {
            if (estimate.hop >= 2) {
                EXPECT_EQ(estimate.addr, (estimate.hop == 2 ? hop2 : hop3).at(0).addr) << "seed " << seed;
            }
        }
        slow_branch_flows.insert(through_slow);
    }
    EXPECT_GT(slow_branch_flows.size(), 2u) << "the seeds spread the flows over the branches in different shares";
}

}  // namespace
