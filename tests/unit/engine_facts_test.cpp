// The facts the CAPS reply tells the client are what the engines' loops do,
// run in simulated time.
#include "probe/engine_facts.hpp"

#include <gtest/gtest.h>

#include "engines/bandwidth/bw_receiver.hpp"
#include "engines/bandwidth/train_packet.hpp"
#include "engines/bandwidth/train_sweep.hpp"
#include "engines/engine_config.hpp"
#include "ipc/events.hpp"
#include "loop_harness.hpp"
#include "simulated_path.hpp"

namespace {

using namespace tarnvale;
using namespace sim::test_network;
using std::chrono::milliseconds;

struct TrainRun {
    std::vector<ipc::BwEstimateEvent> estimates;
    unsigned first_hop_packets = 0;
};

// The bandwidth engine's loop, configured as the engine is, over a four-hop
// path of fast links until `run_time` is over.
TrainRun run_trains(milliseconds run_time) {
    const engines::EngineConfig config;
    const std::size_t entries = std::size_t{config.max_hops} + 1;
    const engines::bandwidth::TrainShared shared{server,
                                                 50000,
                                                 config.max_hops,
                                                 config.probe_count,
                                                 config.interval_ms,
                                                 std::make_shared<engines::bandwidth::HopSampleTable>(entries),
                                                 std::make_shared<engines::bandwidth::FlowSampleTable>(
                                                     engines::bandwidth::train_flow_count, entries),
                                                 std::make_shared<engines::bandwidth::TrainRegistry>(),
                                                 std::make_shared<engines::bandwidth::TargetDistance>(entries),
                                                 std::make_shared<engines::PathRoute>(client, 0)};
    const engines::bandwidth::BandwidthReceiverShared receiver{server,
                                                               shared.source_port,
                                                               shared.trains,
                                                               shared.samples,
                                                               shared.flow_samples,
                                                               shared.distance,
                                                               std::make_shared<runtime::StopFlag>()};
    sim::SimulatedPath path(client, {sim::hop_at(r1), sim::hop_at(r2), sim::hop_at(r3), sim::hop_at(server)}, run_time,
                            5);
    path.on_answer([&receiver](std::span<const std::uint8_t> datagram, sim::SimulatedPath::Clock::time_point at) {
        engines::bandwidth::handle_answer(receiver, datagram, at);
    });
    sim::LoopHarness harness;
    EXPECT_TRUE(harness.run(engines::bandwidth::send_trains_forever(shared, path, harness.outlets())));
    TrainRun run;
    for (const auto& event : harness.take_events()) {
        if (const auto* estimate = std::get_if<ipc::BwEstimateEvent>(&event)) {
            run.estimates.push_back(*estimate);
        }
    }
    const auto& sent = path.probes_by_ttl();
    run.first_hop_packets = sent.contains(1) ? sent.at(1) : 0;
    return run;
}

TEST(EngineFacts, TheBandwidthScheduleIsTheTrainLoopsOwn) {
    const ipc::ProbeFacts facts = probe::engine_facts();
    const milliseconds first_estimate(facts.bw_first_estimate_ms);
    const milliseconds sweep(facts.bw_sweep_ms);
    EXPECT_TRUE(run_trains(first_estimate - milliseconds(1)).estimates.empty());
    const auto first = run_trains(first_estimate + milliseconds(1));
    ASSERT_EQ(first.estimates.size(), 1u);
    EXPECT_EQ(first.estimates[0].hop, 1);
    EXPECT_NEAR(first.estimates[0].mbps, facts.train_rate_mbps, 0.01) << "a fast first link reads the trains' rate";

    const unsigned one_sweep = engines::EngineConfig{}.probe_count * engines::bandwidth::packets_per_train;
    EXPECT_EQ(run_trains(sweep - milliseconds(1)).first_hop_packets, one_sweep);
    EXPECT_EQ(run_trains(sweep + first_estimate).first_hop_packets, 2 * one_sweep) << "the next sweep began";
}

}  // namespace
