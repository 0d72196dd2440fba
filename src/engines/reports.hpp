#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "runtime/bounded_queue.hpp"

// Short reports from the engines to the aggregator.
namespace tarnvale::engines {

struct HopLossReport {
    std::uint64_t ts = 0;
    float loss_pct = 0;
    std::uint8_t hop = 0;
    // Every outcome settled at this TTL since the engine began, and how many of
    // them were losses: two reports differ by exactly the probes settled between
    // them, which the loss percentage of a ring cannot tell.
    std::uint64_t outcomes_total = 0;
    std::uint64_t lost_total = 0;
    // The same for the pinger's echo requests to the hop's router.
    std::uint64_t echo_outcomes_total = 0;
    std::uint64_t echo_lost_total = 0;
    // And for TCP probes to the target (none at other hops).
    std::uint64_t tcp_outcomes_total = 0;
    std::uint64_t tcp_lost_total = 0;
    // Another router has begun to answer at this hop and may be replacing
    // the one these figures are of.
    bool router_in_doubt = false;
};

struct BottleneckReport {
    std::uint8_t hop = 0;
    bool bottleneck = false;
};

struct ProcessUplinkReport {
    std::string name;
    float mbps_up = 0;
    bool saturating = false;
};

// The hop engine's queue locator, every report cycle: the hop behind a loaded
// link (0 when none is located) and its round trips.
struct QueueReport {
    std::uint64_t ts = 0;
    std::uint8_t hop = 0;
    std::string addr;
    float baseline_ms = 0;
    float current_ms = 0;
};

// Another router answers at this hop (the TTL) from now on: what was known of
// the hop is the old router's.
struct RouteChangeReport {
    std::uint64_t ts = 0;
    std::uint8_t hop = 0;
    std::string old_addr;
    std::string new_addr;
};

// What one of the hop engine's probe flows found at a hop, with one
// flow_loss event: its outcome totals since the flow began or another router
// answered it there (then they begin again from nothing).
struct FlowLossReport {
    std::uint64_t ts = 0;
    std::uint8_t flow = 0;
    std::uint8_t hop = 0;
    std::string addr;
    float loss_pct = 0;
    std::uint64_t outcomes_total = 0;
    std::uint64_t lost_total = 0;
};

using AggregatorReport =
    std::variant<HopLossReport, BottleneckReport, ProcessUplinkReport, QueueReport, RouteChangeReport, FlowLossReport>;

using ReportChannel = runtime::BoundedQueue<AggregatorReport>;
using ReportSender = runtime::QueueSender<AggregatorReport>;

inline constexpr std::size_t report_queue_capacity = 256;

}  // namespace tarnvale::engines
