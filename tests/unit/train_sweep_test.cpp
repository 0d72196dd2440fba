// The bandwidth engine's train loop, run in simulated time over simulated
// paths: the receiver's handling of each answer, the estimator and the
// schedule of the trains, as the engine runs them.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "engines/bandwidth/bw_receiver.hpp"
#include "engines/bandwidth/train_packet.hpp"
#include "engines/bandwidth/train_sweep.hpp"
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

// Every bw_estimate event of a run over the path until its time is over.
std::vector<ipc::BwEstimateEvent> run_trains(SimulatedPath& path, packets::IpAddress to = target) {
    sim::LoopHarness harness;
    const std::size_t entries = std::size_t{max_hops} + 1;
    const TrainShared shared{to,
                             50000,
                             max_hops,
                             trains_per_hop,
                             5000,
                             std::make_shared<HopSampleTable>(entries),
                             std::make_shared<TrainRegistry>(),
                             std::make_shared<TargetDistance>(entries)};
    const BandwidthReceiverShared receiver{to, shared.source_port, shared.trains, shared.samples, shared.distance,
                                           std::make_shared<runtime::StopFlag>()};
    path.on_answer([&receiver](std::span<const std::uint8_t> datagram, SimulatedPath::Clock::time_point arrival) {
        handle_answer(receiver, datagram, arrival);
    });
    EXPECT_TRUE(harness.run(send_trains_forever(shared, path, harness.outlets())));
    std::vector<ipc::BwEstimateEvent> estimates;
    for (const auto& event : harness.take_events()) {
        if (const auto* estimate = std::get_if<ipc::BwEstimateEvent>(&event)) {
            estimates.push_back(*estimate);
        }
    }
    return estimates;
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

}  // namespace
