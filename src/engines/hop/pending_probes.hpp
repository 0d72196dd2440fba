#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

#include "engines/hop/flow_paths.hpp"
#include "engines/hop/hop_table.hpp"
#include "runtime/sharded_map.hpp"

namespace tarnvale::engines::hop {

// A probe without a reply this long after it was sent counts as lost: far above
// any path's round trip, and short enough that the loss shows in the next report.
inline constexpr std::chrono::seconds reply_deadline{3};

// A TTL-limited UDP probe, or a TCP probe of the target (its TTL is then the
// target's distance, at which its outcome counts).
enum class ProbeKind { ttl_limited, tcp };

struct PendingProbe {
    std::chrono::steady_clock::time_point sent;
    std::uint8_t ttl;
    ProbeKind kind = ProbeKind::ttl_limited;
    std::uint8_t flow = 0;  // a TTL-limited probe's flow
    // Whether its outcome counts in the hop table as well as in its flow's
    // figures: flow 0's probes do, and another flow's where it took flow 0's
    // path as far as the answers told when it was sent (decided then, so that
    // whether it is answered has no say in whether it counts).
    bool on_first_path = true;
};

// Probes sent and not yet answered, by probe id. The engine inserts and expires
// them; the receiver takes the answered ones. Each is taken once, so each probe
// ends as exactly one outcome.
using PendingProbes = runtime::ShardedMap<std::uint16_t, PendingProbe>;

struct AnsweredProbe {
    std::uint8_t ttl;
    float rtt_ms;
    bool in_table;  // the hop table counts the probe and has an entry for its TTL, which now records the answer
    ProbeKind kind;
    // The router that answered the probe's flow at its TTL before this answer.
    std::optional<packets::IpAddress> flow_router_before = std::nullopt;
};

// Where a probe's outcome is counted: the hop table of flow 0's path, and each
// flow's own figures.
struct ProbeOutcomes {
    HopTable& table;
    FlowPaths& flows;
};

// A matched reply from `source` to probe `id` of this kind (and, for a
// TTL-limited probe, of this flow): its outcome when the probe was still
// pending; nothing when it was never sent, already answered or already counted
// as lost, or is of the other kind or flow.
std::optional<AnsweredProbe> settle_answered(PendingProbes& pending, const ProbeOutcomes& outcomes, std::uint16_t id,
                                             ProbeKind kind, std::uint8_t flow, packets::IpAddress source,
                                             std::chrono::steady_clock::time_point now);

// Counts every probe sent `reply_deadline` or longer before `now` as lost.
void settle_overdue(PendingProbes& pending, const ProbeOutcomes& outcomes, std::chrono::steady_clock::time_point now);

}  // namespace tarnvale::engines::hop
