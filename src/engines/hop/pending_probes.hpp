#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

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
};

// Probes sent and not yet answered, by probe id. The engine inserts and expires
// them; the receiver takes the answered ones. Each is taken once, so each probe
// ends as exactly one outcome.
using PendingProbes = runtime::ShardedMap<std::uint16_t, PendingProbe>;

struct AnsweredProbe {
    std::uint8_t ttl;
    float rtt_ms;
    bool in_table;  // the TTL has an entry in the hop table, which now records the answer
    ProbeKind kind;
};

// A matched reply from `source` to probe `id` of this kind: its outcome when
// the probe was still pending; nothing when it was never sent, already
// answered or already counted as lost, or is of the other kind.
std::optional<AnsweredProbe> settle_answered(PendingProbes& pending, HopTable& table, std::uint16_t id, ProbeKind kind,
                                             packets::IpAddress source, std::chrono::steady_clock::time_point now);

// Counts every probe sent `reply_deadline` or longer before `now` as lost.
void settle_overdue(PendingProbes& pending, HopTable& table, std::chrono::steady_clock::time_point now);

}  // namespace tarnvale::engines::hop
