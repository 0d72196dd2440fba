#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <span>

#include "capture/receiver.hpp"
#include "engines/hop/flow_paths.hpp"
#include "engines/hop/hop_table.hpp"
#include "engines/hop/pending_probes.hpp"
#include "engines/hop/pinger.hpp"
#include "engines/hop/probe_packet.hpp"
#include "engines/hop/queue_delay.hpp"
#include "engines/hop/route_watch.hpp"
#include "runtime/stop_flag.hpp"

namespace tarnvale::engines::hop {

struct ReceiverShared {
    packets::IpAddress target;
    ProbeFlows flows;  // the TTL-limited probes'
    std::shared_ptr<PendingProbes> pending;
    std::shared_ptr<HopTable> table;
    std::shared_ptr<FlowPaths> flow_paths;
    std::shared_ptr<DelayTable> delays;
    std::shared_ptr<SightingQueue> sightings;
    std::shared_ptr<runtime::StopFlag> stop;
    std::shared_ptr<RouteWatch> routes;  // the receiver thread's alone
    std::shared_ptr<RouteChangeQueue> route_changes;
    // The engine's own TCP port, which the target's answers to TCP probes go
    // to; none when the engine sends no TCP probes.
    std::optional<std::uint16_t> tcp_port = std::nullopt;
};

// One captured datagram (link header removed) that arrived at `arrival`: a
// reply to a pending probe records its hop as answered with its round trip, in
// its flow's figures and, where the probe counts there, in the hop table
// (the target's answer to a TCP probe: its TCP outcome, and nothing else),
// notes the round trip for the queue locator and tells the pinger. When it
// confirms that another router answers at its TTL, the hop's evidence and
// round trips begin again, the pinger takes the new router for the old and
// the change goes to the reporter.
void handle_datagram(const ReceiverShared& shared, std::span<const std::uint8_t> datagram,
                     std::chrono::steady_clock::time_point arrival);

// The "hop-receiver" thread: captures the routers' ICMP replies (and the
// target's answers to TCP probes), matches each to
// its pending probe, records the hop as answered with its round trip and tells
// the pinger, until stopped or the capture cannot be opened.
void run_receiver(ReceiverShared shared, capture::ReceiverCapture capture);

}  // namespace tarnvale::engines::hop
