#pragma once

#include <chrono>
#include <cstdint>

#include "runtime/sharded_map.hpp"

namespace tarnvale::engines::hop {

struct PendingProbe {
    std::chrono::steady_clock::time_point sent;
    std::uint8_t ttl;
};

// Probes sent and not yet answered, by probe id. The engine inserts and expires
// them; the receiver takes the answered ones. Each is taken once, so each probe
// ends as exactly one outcome.
using PendingProbes = runtime::ShardedMap<std::uint16_t, PendingProbe>;

}  // namespace tarnvale::engines::hop
