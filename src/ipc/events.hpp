#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

// The messages the probe sends to its client, as plain records. Each is written
// as one compact JSON object whose members follow the order declared here.
namespace tarnvale::ipc {

struct HopLossEvent {
    std::uint64_t ts = 0;
    std::uint8_t hop = 0;
    std::string addr;
    float loss_pct = 0;
    float rtt_ms = 0;
    float prev_loss_pct = 0;
    bool is_localized = false;
};

struct BandwidthConfidence {
    std::string level;
    float p05_mbps = 0;
    float p95_mbps = 0;
    std::uint32_t sample_count = 0;
};

struct BwEstimateEvent {
    std::uint64_t ts = 0;
    std::uint8_t hop = 0;
    std::string addr;
    float mbps = 0;
    float baseline_mbps = 0;
    bool bottleneck = false;
    BandwidthConfidence confidence;
};

struct AppTrafficEvent {
    std::uint64_t ts = 0;
    std::uint32_t pid = 0;
    std::string name;
    float mbps_up = 0;
    float mbps_down = 0;
    float loss_share = 0;
    bool saturating = false;
};

struct DegradationEvent {
    std::uint64_t ts = 0;
    std::string severity;
    std::uint32_t trend_min = 0;
    std::optional<std::uint32_t> eta_drop_sec;
    std::string cause;
    std::string cause_detail;
    std::optional<std::uint8_t> affected_hop;
    float loss_now_pct = 0;
    float loss_trend_pct_per_min = 0;
};

// A hop's round trips now against its own usual level; sent after each cycle's
// hop_loss events for the hops that have both.
struct HopDelayEvent {
    std::uint64_t ts = 0;
    std::uint8_t hop = 0;
    std::string addr;
    float baseline_ms = 0;
    float current_ms = 0;
    float added_ms = 0;
    bool behind_queue = false;  // at or behind the located queue, and carrying it
};

// A standing queue located on the path: the diagnosis of delay, as degradation
// is of loss.
struct LatencyEvent {
    std::uint64_t ts = 0;
    std::string severity;
    std::string cause;
    std::string cause_detail;
    std::uint8_t affected_hop = 0;
    std::string addr;
    float baseline_ms = 0;
    float current_ms = 0;
    float added_ms = 0;
};

// Probes to a hop that the system would not send (see the engine's SEND_FAIL
// errors) in one report cycle, beside those it sent: the hop's loss figure
// counts only the sent ones. Sent after the cycle's hop_delay events for the
// hops with unsent probes.
struct HopUnsentEvent {
    std::uint64_t ts = 0;
    std::uint8_t hop = 0;
    std::string addr;  // empty while no reply has named the hop
    std::uint64_t sent = 0;
    std::uint64_t unsent = 0;
};

// Another router answers at a hop (the TTL) than before, confirmed by its
// answers; sent before that cycle's hop_loss events, whose figures for the hop
// begin again with the new router.
struct RouteChangeEvent {
    std::uint64_t ts = 0;
    std::uint8_t hop = 0;
    std::string old_addr;
    std::string new_addr;
};

// What one probe flow finds at one hop: on a route that balances flows over
// parallel links, each flow shows the branch it takes. Sent after each cycle's
// hop_unsent events, flow by flow and hop by hop; flow 0 is the path of
// hop_loss.
struct FlowLossEvent {
    std::uint64_t ts = 0;
    std::uint8_t flow = 0;
    std::uint8_t hop = 0;
    std::string addr;
    float loss_pct = 0;
    float rtt_ms = 0;  // the mean round trip of the flow's answered probes
};

// What one of the bandwidth engine's train flows finds at one hop: on a route
// that balances flows over parallel links, each flow's trains cross one branch.
// Sent after a hop's bw_estimate for each flow whose trains went to the hop in
// that sweep, flow 0 first; flow 0 is the path of bw_estimate.
struct FlowBwEvent {
    std::uint64_t ts = 0;
    std::uint8_t flow = 0;
    std::uint8_t hop = 0;
    std::string addr;  // the router that answered the flow's newest sample there
    float mbps = 0;
    float baseline_mbps = 0;  // the first hop's estimate, against which `bottleneck` is judged
    bool bottleneck = false;
    std::uint32_t sample_count = 0;  // how much the estimate rests on: 2 after a flow's first measurement
};

// The attribution engine's traffic of one cycle that no process of the host
// could be named for, sent after the cycle's app_traffic events when at least
// 0.1 Mbps. Its rates, `loss_share` and `saturating` read as app_traffic's.
struct UnownedTrafficEvent {
    std::uint64_t ts = 0;
    // "unknown": no socket takes it, or its socket's owner is not known; "other namespaces": a
    // socket of another network namespace (a container's) takes it, and its owner cannot be read
    std::string owner;
    float mbps_up = 0;
    float mbps_down = 0;
    float loss_share = 0;
    bool saturating = false;
};

// What a hop's probes and the pinger's echo requests to its router met since
// the previous report cycle: for counters of probes and losses, and for a
// histogram of round trips, which a figure over the last twenty cannot give.
struct HopCountsEvent {
    std::uint64_t ts = 0;
    std::uint8_t hop = 0;
    std::string addr;
    std::uint64_t probes = 0;    // probes settled (answered or counted lost) since the previous cycle
    std::uint64_t lost = 0;      // of which lost
    std::vector<float> rtt_ms;   // the echo round trips measured since the previous cycle, oldest first
};

// An engine that measures a path can no longer (the host has no route to its
// target) or can again. Outcomes of the time between count as nothing.
struct PathStatusEvent {
    std::uint64_t ts = 0;
    std::string engine;  // "hop" or "bw"
    std::string status;  // "no_route" or "restored"
    std::string detail;  // for the user: why, or from which source address it measures again
};

struct ErrorEvent {
    std::uint64_t ts = 0;
    std::string engine;
    std::string code;
    std::string message;
    bool fatal = false;
};

struct AckEvent {
    std::string cmd;
    bool ok = false;
    std::optional<std::string> error;
};

using Event =
    std::variant<HopLossEvent, BwEstimateEvent, AppTrafficEvent, DegradationEvent, ErrorEvent, AckEvent, HopDelayEvent,
                 LatencyEvent, HopUnsentEvent, RouteChangeEvent, FlowLossEvent, FlowBwEvent, UnownedTrafficEvent,
                 PathStatusEvent, HopCountsEvent>;

// What the engines do that a client shows but their events do not carry: their
// schedules and the diagnosis threshold, as the engines run them.
struct ProbeFacts {
    float loss_threshold_pct = 0;            // degradation warns of a hop at or heading for this loss
    std::uint64_t hop_report_ms = 0;         // hop_loss and hop_delay once per period, the first after one
    std::uint64_t bw_first_estimate_ms = 0;  // the first bw_estimate (hop 1) this long after the start
    std::uint64_t bw_sweep_ms = 0;           // a bw_estimate of every hop once per sweep
    float train_rate_mbps = 0;               // the trains' own rate: only a slower link shows in bw_estimate
    std::uint64_t attr_cycle_ms = 0;         // app_traffic once per cycle, its rates over the cycle
};

// The handshake's reply. A refusal carries an error and no facts.
struct Caps {
    std::string version;
    std::vector<std::string> engines;
    std::string proto_version;
    std::optional<std::string> error;
    std::optional<ProbeFacts> facts;
};

// The JSON object, without the line feed.
std::string serialize(const Event& event);
std::string serialize(const Caps& caps);

// Whole seconds since 1970-01-01 UTC from the wall clock; 0 before the epoch.
std::uint64_t unix_seconds_now();

}  // namespace tarnvale::ipc
