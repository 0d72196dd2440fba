#pragma once

#include <asio/awaitable.hpp>
#include <chrono>
#include <cstdint>
#include <memory>

#include "engines/bandwidth/estimator.hpp"
#include "engines/bandwidth/flow_samples.hpp"
#include "engines/bandwidth/target_distance.hpp"
#include "engines/bandwidth/train_registry.hpp"
#include "engines/engine.hpp"
#include "engines/probe_network.hpp"

// The bandwidth engine's train loop: sweeps of packet trains hop by hop, and an
// estimate per hop after its trains.
namespace tarnvale::engines::bandwidth {

inline constexpr std::chrono::milliseconds packet_spacing{5};
inline constexpr std::chrono::milliseconds pause_after_train{500};
inline constexpr std::chrono::seconds train_lifetime{60};

// The wait after a sweep whose last trains went to `last_hop`: the interval and
// the time the trains to the hops beyond it, up to max_hops, would have taken.
// A sweep cut short at the target's distance thus keeps the period of a full
// one, and no router is sent trains more often than when every TTL was swept.
std::chrono::milliseconds rest_after_sweep(std::uint8_t max_hops, std::uint8_t last_hop, std::uint32_t probe_count,
                                           std::uint64_t interval_ms);

struct TrainShared {
    packets::IpAddress target;
    std::uint16_t source_port;  // the engine's own (platform::reserve_port)
    std::uint8_t max_hops;
    std::uint32_t trains_per_hop;
    std::uint64_t interval_ms;
    std::shared_ptr<HopSampleTable> samples;  // flow 0's alone: bw_estimate's
    std::shared_ptr<FlowSampleTable> flow_samples;
    std::shared_ptr<TrainRegistry> trains;
    std::shared_ptr<TargetDistance> distance;
    // The source address the trains leave from now, none while the host has no route to the target.
    std::shared_ptr<PathRoute> route;
};

// Sweeps until the task is cancelled: to each hop up to the target's distance
// (max_hops while it is unknown, read before every hop, so that the first train
// to reach the target ends the sweep there) `trains_per_hop` trains, each in
// the flow train_flow gives it, registered before it is sent and followed by a
// pause; then the hop's estimate (flow 0's) as a bw_estimate event and a
// report, and a flow_bw event of each flow the hop's trains took; after a
// sweep, the rest. Trains the system would
// not send are told as SEND_FAIL errors (see SendFailures). Each train leaves
// from the source the host routes it from now; while the host has no route
// toward the target, the loop waits (the client is told by path_status).
asio::awaitable<void> send_trains_forever(const TrainShared& shared, ProbeNetwork& network,
                                          const EngineOutlets& outlets);

}  // namespace tarnvale::engines::bandwidth
