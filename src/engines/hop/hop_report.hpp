#pragma once

#include <cstdint>
#include <vector>

#include "engines/hop/flow_paths.hpp"
#include "engines/hop/hop_table.hpp"
#include "engines/hop/queue_delay.hpp"
#include "engines/reports.hpp"
#include "ipc/events.hpp"

namespace tarnvale::engines::hop {

// Unanswered outcomes over all outcomes, in percent, in 32-bit arithmetic; 0 without outcomes.
float loss_percent(const BoundedHistory<bool>& outcomes);

// The mean echo round-trip time; 0 without samples.
float mean_rtt(const BoundedHistory<float>& samples);

// A hop whose loss exceeds the previous reported hop's by more than 3 points.
constexpr bool is_localized(float loss, float previous_loss) { return loss - previous_loss > 3.0f; }

// One hop_loss event per TTL from 1 to `last_ttl` that has outcomes and an
// address, in TTL order, each compared with the hop reported before it.
std::vector<ipc::HopLossEvent> build_hop_loss_events(const std::vector<HopStats>& hops, std::uint64_t ts,
                                                     std::size_t last_ttl);

// One hop_delay event per hop_loss event whose hop has a delay, in the same order.
std::vector<ipc::HopDelayEvent> build_hop_delay_events(const std::vector<ipc::HopLossEvent>& loss_events,
                                                       const std::vector<std::optional<HopDelay>>& delays,
                                                       const std::optional<QueueLocation>& queue);

// One hop_counts event per TTL from 1 to `last_ttl` whose router is known and
// whose probes or echo requests met something since `previous` (the hop table
// as the previous cycle saw it), in TTL order; a hop begun afresh counts from
// its new start. At most the twenty newest round trips are kept between two
// cycles, which at the pinger's pace is all of them.
std::vector<ipc::HopCountsEvent> build_hop_counts_events(const std::vector<HopStats>& hops,
                                                       const std::vector<HopStats>& previous, std::uint64_t ts,
                                                       std::size_t last_ttl);

// One hop_unsent event per TTL from 1 to `last_ttl` with probes whose send
// failed since `previous` (the hop table as the previous cycle saw it), in TTL
// order, with the probes sent and not sent between the two.
std::vector<ipc::HopUnsentEvent> build_hop_unsent_events(const std::vector<HopStats>& hops,
                                                         const std::vector<HopStats>& previous, std::uint64_t ts,
                                                         std::size_t last_ttl);

// One flow_loss event per flow and TTL from 1 to the flow's last TTL (see
// flow_last_ttl) that has outcomes and an address, flow by flow, in TTL order.
std::vector<ipc::FlowLossEvent> build_flow_loss_events(const std::vector<std::vector<FlowHop>>& flows, std::uint64_t ts,
                                                       packets::IpAddress target, std::uint8_t first_path_last_ttl,
                                                       std::uint8_t max_hops);

// The aggregator's report of the cycle's located queue, if any.
QueueReport queue_report(std::uint64_t ts, const std::vector<HopStats>& hops,
                         const std::optional<QueueLocation>& queue);

// The aggregator's report that goes with one flow_loss event, carrying the flow's outcome totals at the hop.
FlowLossReport flow_loss_report(const ipc::FlowLossEvent& event, const FlowHop& hop);

// The aggregator's report that goes with one hop_loss event, carrying the hop's outcome totals.
HopLossReport hop_loss_report(const ipc::HopLossEvent& event, const HopStats& hop);

}  // namespace tarnvale::engines::hop
